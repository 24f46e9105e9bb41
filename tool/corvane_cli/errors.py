"""The failures the commands report, each with its exit status."""

import importlib
import sys
from types import ModuleType

OK = 0
BAD_INPUT = 1
USAGE = 2
FILE_ERROR = 3
NO_MODULE = 4
INTERRUPTED = 130
BROKEN_PIPE = 141

# Shown in --help and kept in step with README's table.
EXIT_STATUSES = f"""\
exit status:
  {OK:<4} success
  {BAD_INPUT:<4} the input cannot be read as text: an unknown or wrong encoding,
       undecodable bytes, a malformed XML declaration, a character that
       the target encoding cannot hold, or text the parser refuses
  {USAGE:<4} wrong usage: an unknown option or --to encoding, a missing argument
  {FILE_ERROR:<4} a file cannot be opened, read or written, or recode was asked
       to overwrite its input without --in-place
  {NO_MODULE:<4} a native module that the command needs is not installed
  {INTERRUPTED:<4} interrupted (Ctrl-C)
  {BROKEN_PIPE:<4} the output was closed early (broken pipe)
"""


class CliError(Exception):
    """A failure to report as one line on stderr, ending the command."""

    status = BAD_INPUT

    def __init__(self, message: str, status: int | None = None) -> None:
        super().__init__(message)
        if status is not None:
            self.status = status


class InputError(CliError):
    status = BAD_INPUT


class FileError(CliError):
    status = FILE_ERROR


def native(name: str) -> ModuleType:
    """Import one of the native modules, or fail with a line that names it."""
    try:
        return importlib.import_module(name)
    except ImportError as exc:
        raise CliError(
            f"the native module {name} is not installed ({exc})", NO_MODULE
        ) from None


def warn(message: str) -> None:
    """A note on stderr that does not change the exit status."""
    print(f"corvane: warning: {message}", file=sys.stderr)


def report(exc: CliError) -> None:
    print(f"corvane: {exc}", file=sys.stderr, flush=True)

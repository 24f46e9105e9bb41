"""The failures the commands report, each with its exit status."""

from __future__ import annotations

import codecs
import importlib
import sys
from types import ModuleType
from collections.abc import Callable

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import TextIO

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
       the target encoding cannot hold, or a construct open too long
  {USAGE:<4} wrong usage: an unknown option, an unknown or unfit --to or
       --encoding, a missing argument
  {FILE_ERROR:<4} a file or standard output cannot be opened, read or written,
       or recode was asked to overwrite its input without --in-place
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
        raise CliError(f"the native module {name} is not installed ({exc})", NO_MODULE) from None


def layer() -> ModuleType:
    """corvane_markup, or a failure that names the native module it lacks."""
    try:
        return importlib.import_module("corvane_markup")
    except ImportError as exc:
        for name in ("_vexil", "corvane", "_sheaf"):
            native(name)
        raise CliError(f"corvane_markup cannot be loaded ({exc})", NO_MODULE) from None


def warn(message: str) -> None:
    """A note on stderr that does not change the exit status."""
    print(f"corvane: warning: {message}", file=sys.stderr)


def report(exc: CliError) -> None:
    print(f"corvane: {exc}", file=sys.stderr, flush=True)


def _shown(exc: UnicodeError) -> tuple[str | bytes, int]:
    # File names that are not valid in the locale come from the command line
    # as surrogate escapes: their own bytes go back out. Anything else the
    # output's encoding cannot hold is written as a backslash escape.
    if not isinstance(exc, UnicodeEncodeError):
        raise exc
    bad = exc.object[exc.start : exc.end]
    if all("\udc80" <= ch <= "\udcff" for ch in bad):
        return bytes(ord(ch) - 0xDC00 for ch in bad), exc.end
    return codecs.backslashreplace_errors(exc)


codecs.register_error("corvane.shown", _shown)


class Output:
    """Standard output for the commands: whatever it cannot hold is escaped,
    and a failure to write says that it was standard output."""

    def __init__(self, stream: TextIO, json: bool = False) -> None:
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            if json:
                # JSON Lines are UTF-8 whatever the locale; lone surrogates
                # from character references come out as JSON's own escapes.
                reconfigure(encoding="utf-8", errors="backslashreplace")
            else:
                reconfigure(errors="corvane.shown")
        self.stream = stream

    def write(self, text: str) -> None:
        writing("<stdout>", self.stream.write, text)

    def write_bytes(self, data: bytes) -> None:
        """Bytes already in the stream's encoding, after the text before them."""
        raw = getattr(self.stream, "buffer", None)
        if raw is None:
            self.write(data.decode(*self.codec()))
            return
        writing("<stdout>", self.stream.flush)
        writing("<stdout>", raw.write, data)

    def codec(self) -> tuple[str, str]:
        """How the stream encodes: what a worker encodes its output with."""
        if getattr(self.stream, "buffer", None) is None:
            # A stream of text alone: the bytes are turned back into the
            # same text, which it then writes as it writes any.
            return "utf-8", "surrogatepass"
        return self.stream.encoding, self.stream.errors or "strict"

    def flush(self) -> None:
        writing("<stdout>", self.stream.flush)

    def isatty(self) -> bool:
        return self.stream.isatty()


class OutputError(FileError):
    """Standard output or the output file cannot take what is written."""


def writing(label: str, action: Callable[..., object], *args: object) -> None:
    """A write or a flush; a failure other than a closed pipe names `label`."""
    try:
        action(*args)
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise OutputError(f"{label}: cannot write: {exc.strerror or exc}") from None

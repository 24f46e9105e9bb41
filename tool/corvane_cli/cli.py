"""The command line: options, dispatch, and how failures end a run."""

import argparse
import os
import sys
from collections.abc import Callable, Sequence

from . import __version__
from .commands import encoding, events, stats
from .errors import (
    BROKEN_PIPE,
    EXIT_STATUSES,
    FILE_ERROR,
    INTERRUPTED,
    CliError,
    OutputError,
    report,
    writing,
)
from .source import option_codec

DESCRIPTION = "Inspect, check and transcode XML and SGML files."


class Formatter(argparse.RawDescriptionHelpFormatter):
    """The help as argparse writes it, with the width found without loading
    shutil, which argparse would import for it at every start-up."""

    columns: int | None = None

    def __init__(self, prog: str) -> None:
        if Formatter.columns is None:
            Formatter.columns = help_columns()
        super().__init__(prog, width=Formatter.columns - 2)


def help_columns() -> int:
    try:
        return int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        pass
    try:
        return os.get_terminal_size(sys.__stdout__.fileno()).columns  # type: ignore[union-attr]
    except (AttributeError, ValueError, OSError):
        return 80


def build_parser() -> argparse.ArgumentParser:
    formatter = Formatter
    parser = argparse.ArgumentParser(
        prog="corvane", description=DESCRIPTION, epilog=EXIT_STATUSES, formatter_class=formatter
    )
    parser.add_argument("--version", action="version", version=f"corvane {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    reading = argparse.ArgumentParser(add_help=False, formatter_class=formatter)
    reading.add_argument(
        "--encoding",
        metavar="ENCODING",
        help="read the input in this encoding instead of naming it from its first bytes",
    )
    reading.add_argument(
        "--no-progress",
        dest="progress",
        action="store_false",
        help="no progress bar on stderr, even for a large file on a terminal",
    )
    parsing = argparse.ArgumentParser(add_help=False, formatter_class=formatter)
    modes = parsing.add_mutually_exclusive_group()
    modes.add_argument("--xml", dest="mode", action="store_const", const="xml", help="parse as XML")
    modes.add_argument(
        "--sgml",
        dest="mode",
        action="store_const",
        const="sgml",
        help="parse as SGML (HTML); by default the suffix and the first text decide",
    )

    def command(
        name: str,
        run: Callable[[argparse.Namespace], int],
        text: str,
        parents: list[argparse.ArgumentParser],
    ) -> argparse.ArgumentParser:
        sub = commands.add_parser(
            name,
            help=text,
            description=text,
            parents=parents,
            epilog=EXIT_STATUSES,
            formatter_class=formatter,
        )
        sub.set_defaults(run=run, usage=sub)
        return sub

    jobs = argparse.ArgumentParser(add_help=False, formatter_class=formatter)
    jobs.add_argument(
        "--jobs",
        "-j",
        type=positive,
        metavar="N",
        help="read the files with N processes (default: one per core)",
    )

    events_command = command(
        "events", events, "print the documents' events, one line each", [reading, parsing, jobs]
    )
    events_command.add_argument(
        "files",
        metavar="FILE",
        nargs="+",
        help='a document, "-" for standard input, or a directory of them',
    )
    events_command.add_argument(
        "--color",
        "--colour",
        choices=("auto", "always", "never"),
        default="auto",
        help="colour the lines: auto (the default) on a terminal unless NO_COLOR is set,"
        " or when FORCE_COLOR is set",
    )
    events_command.add_argument("--json", action="store_true", help="write JSON Lines, one object per event")

    encoding_command = command("encoding", encoding, "name each file's encoding and how it was found", [])
    encoding_command.add_argument("files", metavar="FILE", nargs="+")

    recode_command = command("recode", recode, "write the document in another encoding", [reading])
    recode_command.add_argument("file", metavar="FILE", help='the document, or "-" for standard input')
    recode_command.add_argument("--to", required=True, metavar="ENCODING", help="the encoding to write")
    recode_command.add_argument(
        "-o", "--output", metavar="OUT", help="where to write (standard output if not given)"
    )
    recode_command.add_argument("--in-place", action="store_true", help="replace FILE itself")
    recode_command.add_argument(
        "--xmlcharrefs",
        action="store_true",
        help="write characters the target encoding cannot hold as character references",
    )

    stats_command = command(
        "stats", stats, "count events and elements, with the time taken", [reading, parsing, jobs]
    )
    stats_command.add_argument("files", metavar="FILE", nargs="+", help="a document, or a directory of them")
    stats_command.add_argument("--json", action="store_true", help="one JSON object per file")

    command("demo", demo, "show the native modules at work on bundled samples", [])
    return parser


def demo(args: argparse.Namespace) -> int:
    from .demo import demo as run

    return run(args)


def recode(args: argparse.Namespace) -> int:
    from .recode import recode as run

    return run(args)


def positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"not a number of processes: {text!r}")
    return value


def silence_stdout() -> None:
    # Whatever is still buffered for the closed pipe would fail again when
    # the interpreter flushes it on the way out.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = build_parser()
    args, unknown = parser.parse_known_args(argv)
    if unknown:
        # Told with the usage of the command they were given to.
        args.usage.error("unrecognized arguments: " + " ".join(unknown))
    if getattr(args, "encoding", None) is not None:
        option_codec(args.encoding, "--encoding")
    return args


def main(argv: Sequence[str] | None = None, ready: Callable[[], object] | None = None) -> int:
    try:
        args = parse_arguments(argv)
        if ready is not None:
            ready()
        status: int = args.run(args)
        writing("<stdout>", sys.stdout.flush)
        return status
    except OutputError as exc:
        silence_stdout()
        report(exc)
        return exc.status
    except CliError as exc:
        report(exc)
        return exc.status
    except KeyboardInterrupt:
        report(CliError("interrupted"))
        return INTERRUPTED
    except BrokenPipeError:
        silence_stdout()
        report(CliError("the output was closed before the end (broken pipe)"))
        return BROKEN_PIPE
    except OSError as exc:
        where = f"{exc.filename}: " if exc.filename else ""
        report(CliError(f"{where}{exc.strerror or exc}"))
        return FILE_ERROR

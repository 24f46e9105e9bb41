"""corvane events, encoding and stats, over files and directory trees."""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Callable, Iterable

from .errors import OK, CliError, Output, OutputError, layer, report, warn, writing
from .markup import EVENT_KINDS, Reading
from .progress import may_draw
from .render import EventWriter, Painter, wants_colour
from .source import Input, open_input

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

# A directory is read for the files whose suffix names markup, also when
# they are compressed; a file named on the command line is always read.
COMPRESSED_SUFFIXES = (".gz", ".bz2", ".xz")


def is_markup_name(name: str, suffixes: frozenset[str]) -> bool:
    lower = name.lower()
    for suffix in COMPRESSED_SUFFIXES:
        if lower.endswith(suffix):
            lower = lower[: -len(suffix)]
            break
    return os.path.splitext(lower)[1] in suffixes


def input_files(names: Iterable[str]) -> list[str]:
    """The files named, with each directory replaced by its markup files,
    walked in sorted order."""
    found: list[str] = []
    documents = layer().documents
    suffixes = documents.SGML_SUFFIXES | documents.XML_SUFFIXES
    for name in names:
        if name == "-" or not os.path.isdir(name):
            found.append(name)
            continue
        before = len(found)
        for folder, subfolders, files in os.walk(name):
            subfolders.sort()
            found += [os.path.join(folder, f) for f in sorted(files) if is_markup_name(f, suffixes)]
        if len(found) == before:
            warn(f"{name}: no file with a suffix of markup in this directory")
    return found


class Options:
    """What a command needs to read one file, in a form a worker can take."""

    __slots__ = ("encoding", "mode", "progress", "json", "colour", "header", "output")

    def __init__(
        self,
        encoding: str | None,
        mode: str | None,
        progress: bool,
        json: bool = False,
        colour: bool = False,
        header: bool = False,  # events: a line naming each file before its events
        output: tuple[str, str] = ("utf-8", "strict"),  # how a worker encodes what it writes
    ) -> None:
        self.encoding = encoding
        self.mode = mode
        self.progress = progress
        self.json = json
        self.colour = colour
        self.header = header
        self.output = output


def events_of_file(path: str, options: Options, out: Any) -> None:
    if options.header:
        out.write(file_line("<stdin>" if path == "-" else path, options.json))
    with Input(path, progress=options.progress) as source:
        with open_input(source, options.encoding, options.mode) as doc:
            writer = EventWriter(out, options.json, Painter(options.colour))
            for batch in Reading(doc, source):
                writer(batch)
                # A reader at the other end of a pipe sees each piece as it
                # is parsed.
                out.flush()


def file_line(label: str, as_json: bool) -> str:
    if as_json:
        import json

        return json.dumps({"event": "file", "name": label}, ensure_ascii=False) + "\n"
    return "file".ljust(8) + label + "\n"


def stats_of_file(path: str, options: Options) -> dict[str, Any]:
    started = time.perf_counter()
    with Input(path, progress=options.progress) as source:
        with open_input(source, options.encoding, options.mode) as doc:
            reading = Reading(doc, source, counting=True)
            for _ in reading:
                pass
    seconds = time.perf_counter() - started
    kinds, elements = reading.counts
    return {
        "file": source.label,
        "encoding": doc.encoding,
        "found_by": doc.found_by,
        "compression": doc.compression,
        "mode": doc.mode,
        "bytes": doc.bytes_read,
        "characters": reading.characters,
        "seconds": round(seconds, 6),
        "bytes_per_second": round(doc.bytes_read / seconds) if seconds > 0 else None,
        "events": {kind: kinds[kind] for kind in EVENT_KINDS if kind in kinds},
        "elements": dict(sorted(elements.items(), key=lambda item: (-item[1], item[0]))),
    }


def in_worker(task: tuple[str, str, Options, str | None]) -> tuple[Any, str | None, int]:
    """One file's work in a worker process: (output, message, status), the
    output already encoded, so that the parent has only bytes to pass on."""
    from .parallel import Spool

    command, path, options, folder = task
    spool = Spool(folder, *options.output)
    try:
        if command == "events":
            events_of_file(path, options, spool)
        else:
            spool.write(stats_line(stats_of_file(path, options), options.json))
        return spool.result(), None, OK
    except CliError as exc:
        return spool.result(), str(exc), exc.status


def over_files(
    args: argparse.Namespace,
    command: str,
    options: Options,
    one: Callable[[str], None],
    out: Output,
) -> int:
    """Run a command on every file, in order; a failing file is reported
    and the rest go on. With more than one job the files are read by
    worker processes and their output written here in order."""
    paths = input_files(args.files)
    jobs = min(args.jobs or default_jobs(), len(paths))
    status = OK
    if jobs <= 1:
        for path in paths:
            try:
                one(path)
            except OutputError:
                # The output, not this file, failed: the other files cannot
                # be shown either.
                raise
            except CliError as exc:
                writing("<stdout>", sys.stdout.flush)
                report(exc)
                status = max(status, exc.status)
        return status
    from .parallel import Spool, each_result

    results = each_result(in_worker, command, paths, options, jobs)
    try:
        for result, message, failed in results:
            Spool.copy(result, out)
            if message is not None:
                writing("<stdout>", sys.stdout.flush)
                report(CliError(message))
                status = max(status, failed)
    finally:
        # Ends the workers at once on an interrupt or a closed output.
        results.close()
    return status


def default_jobs() -> int:
    count = getattr(os, "process_cpu_count", os.cpu_count)()
    return count or 1


def events(args: argparse.Namespace) -> int:
    out = Output(sys.stdout, json=args.json)
    colour = not args.json and wants_colour(args.color, sys.stdout)
    single = len(args.files) == 1 and not os.path.isdir(args.files[0])
    # Drawn only where the bar cannot mix with the lines being written.
    progress = args.progress and may_draw(sys.stdout, while_writing=True)
    options = Options(args.encoding, args.mode, progress, args.json, colour, not single, out.codec())
    status = over_files(args, "events", options, lambda path: events_of_file(path, options, out), out)
    out.flush()
    return status


def encoding(args: argparse.Namespace) -> int:
    out = Output(sys.stdout)

    def one(path: str) -> None:
        with Input(path) as source, open_input(source) as doc:
            how = doc.found_by + (f", {doc.compression}" if doc.compression else "")
            out.write(f"{source.label}: {doc.encoding} ({how})\n")
            out.flush()

    args.jobs = 1
    return over_files(args, "encoding", Options(None, None, False), one, out)


def stats(args: argparse.Namespace) -> int:
    out = Output(sys.stdout, json=args.json)
    progress = args.progress and may_draw(sys.stdout, while_writing=False)
    options = Options(args.encoding, args.mode, progress, args.json, output=out.codec())

    def one(path: str) -> None:
        out.write(stats_line(stats_of_file(path, options), args.json))
        out.flush()

    return over_files(args, "stats", options, one, out)


def stats_line(summary: dict[str, Any], as_json: bool) -> str:
    if as_json:
        import json

        return json.dumps(summary, ensure_ascii=False) + "\n"
    return stats_text(summary) + "\n"


def listing(counts: dict[str, int]) -> str:
    return ", ".join(f"{name or '(empty)'} {n}" for name, n in counts.items()) or "none"


def stats_text(summary: dict[str, Any]) -> str:
    rate = summary["bytes_per_second"]
    found = summary["found_by"]
    if summary["compression"]:
        found += ", " + summary["compression"]
    lines = [
        summary["file"],
        f"  encoding    {summary['encoding']} ({found})",
        f"  mode        {summary['mode']}",
        f"  bytes       {summary['bytes']}",
        f"  characters  {summary['characters']}",
        f"  time        {summary['seconds']:.4f} s",
        f"  throughput  {rate / 1e6:.2f} MB/s" if rate is not None else "  throughput  -",
        f"  events      {listing(summary['events'])}",
        f"  elements    {listing(summary['elements'])}",
    ]
    return "\n".join(lines)

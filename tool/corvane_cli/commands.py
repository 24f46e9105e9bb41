"""corvane events, encoding and stats."""

import argparse
import io
import json
import sys
import time
from collections import Counter
from collections.abc import Callable
from typing import Any, cast

from .errors import OK, CliError, report
from .markup import EVENT_KINDS, Event, parse
from .render import EventWriter, Painter, wants_colour
from .source import Document, Input, detect


def events(args: argparse.Namespace) -> int:
    stdout = cast(io.TextIOWrapper, sys.stdout)
    if args.json:
        # JSON Lines are UTF-8 whatever the locale; the only characters
        # UTF-8 cannot write, lone surrogates from character references,
        # come out as JSON's own \udxxx escapes.
        stdout.reconfigure(encoding="utf-8", errors="backslashreplace")
    else:
        stdout.reconfigure(errors="backslashreplace")
    colour = not args.json and wants_colour(args.color, sys.stdout)
    writer = EventWriter(sys.stdout, args.json, Painter(colour))
    # A bar on the terminal that the events are printed to would be torn up.
    progress = args.progress and not sys.stdout.isatty()
    with Input(args.file, progress=progress) as source:
        parse(Document(source, args.encoding), args.mode, writer, sys.stdout.flush)
    sys.stdout.flush()
    return OK


def for_each_file(args: argparse.Namespace, one: Callable[[str], None]) -> int:
    """Run `one` on every file; a failing file is reported and the rest go on."""
    status = OK
    for path in args.files:
        try:
            one(path)
        except CliError as exc:
            sys.stdout.flush()
            report(exc)
            status = max(status, exc.status)
    return status


def encoding(args: argparse.Namespace) -> int:
    def one(path: str) -> None:
        with Input(path) as source:
            found, _ = detect(source)
        print(f"{source.label}: {found.name} ({found.how})", flush=True)

    return for_each_file(args, one)


class Counts:
    """A sink that counts events by kind and start tags by name."""

    def __init__(self) -> None:
        self.kinds: Counter[str] = Counter()
        self.elements: Counter[str] = Counter()

    def __call__(self, event: Event) -> None:
        self.kinds[event.kind] += 1
        if event.kind == "start":
            self.elements[event.name] += 1


def stats(args: argparse.Namespace) -> int:
    def one(path: str) -> None:
        counts = Counts()
        started = time.perf_counter()
        with Input(path, progress=args.progress) as source:
            doc = Document(source, args.encoding)
            mode = parse(doc, args.mode, counts)
        seconds = time.perf_counter() - started
        summary = {
            "file": source.label,
            "encoding": doc.encoding.name,
            "found_by": doc.encoding.how,
            "mode": mode,
            "bytes": source.offset,
            "characters": doc.characters,
            "seconds": round(seconds, 6),
            "bytes_per_second": round(source.offset / seconds) if seconds > 0 else None,
            "events": {kind: counts.kinds[kind] for kind in EVENT_KINDS if counts.kinds[kind]},
            "elements": dict(sorted(counts.elements.items(), key=lambda item: (-item[1], item[0]))),
        }
        if args.json:
            print(json.dumps(summary, ensure_ascii=False), flush=True)
        else:
            print(stats_text(summary), flush=True)

    return for_each_file(args, one)


def listing(counts: dict[str, int]) -> str:
    return ", ".join(f"{name or '(empty)'} {n}" for name, n in counts.items()) or "none"


def stats_text(summary: dict[str, Any]) -> str:
    rate = summary["bytes_per_second"]
    lines = [
        summary["file"],
        f"  encoding    {summary['encoding']} ({summary['found_by']})",
        f"  mode        {summary['mode']}",
        f"  bytes       {summary['bytes']}",
        f"  characters  {summary['characters']}",
        f"  time        {summary['seconds']:.4f} s",
        f"  throughput  {rate / 1e6:.2f} MB/s" if rate is not None else "  throughput  -",
        f"  events      {listing(summary['events'])}",
        f"  elements    {listing(summary['elements'])}",
    ]
    return "\n".join(lines)

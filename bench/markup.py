"""The goals of the public layer, corvane_markup: whole events and trees,
against the same work done with the standard library.

`python bench/markup.py --memory [BYTES]` instead reads a generated
document of that many bytes (1 GiB by default) through events() and
iterparse(), and prints the peak resident set size.
"""

from __future__ import annotations

import argparse
import codecs
import collections
import pyexpat
import resource
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
from dataclasses import dataclass
from html.parser import HTMLParser
from pathlib import Path
from typing import Any, Iterator

import documents
import registry
from registry import Context, Goal
from harness import Case, Settings, compare, ratio

CHUNK = 64 * 1024


@dataclass
class Input:
    name: str
    origin: str
    path: Path
    data: bytes


def _largest_page() -> Path | None:
    best: tuple[int, Path] | None = None
    for base in documents.data_dirs():
        docs = base / "doc"
        if docs.is_dir():
            for path in docs.rglob("*.htm*"):
                try:
                    size = path.stat().st_size
                except OSError:
                    continue
                if path.is_file() and (best is None or size > best[0]):
                    best = (size, path)
    return best[1] if best else None


def inputs(real: bool, size: int, folder: Path) -> tuple[Input, Input]:
    """The MIME database and the largest installed HTML page, or generated
    stand-ins of the same shape written to `folder`."""
    mime = next(
        (
            b / "mime/packages/freedesktop.org.xml"
            for b in documents.data_dirs()
            if (b / "mime/packages/freedesktop.org.xml").is_file()
        ),
        None,
    )
    page = _largest_page()
    found = []
    for path, name, make, origin in (
        (mime, "mime-db", documents.mime_like, "MIME type database of shared-mime-info"),
        (page, "html", documents.html_like, "the largest installed HTML page"),
    ):
        if real and path is not None:
            found.append(
                Input(name, f"{origin} ({path.name}, {path.stat().st_size / 1e6:.1f} MB)", path, path.read_bytes())
            )
            continue
        text = make(size).encode("utf-8")
        stand_in = folder / f"{name}.{'xml' if name == 'mime-db' else 'html'}"
        stand_in.write_bytes(text)
        found.append(Input(f"{name} (generated)", f"generated stand-in for {origin}", stand_in, text))
    return found[0], found[1]


# -- the same event streams, built in Python from the standard library ---------


def expat_events(data: bytes) -> Iterator[tuple[str, str, Any]]:
    parser = pyexpat.ParserCreate()
    parser.buffer_text = True
    parser.ordered_attributes = True
    out: list[tuple[str, str, Any]] = []
    append = out.append

    def start(name: str, attributes: list[str]) -> None:
        append(("start", name, list(zip(attributes[::2], attributes[1::2]))))

    parser.StartElementHandler = start
    parser.EndElementHandler = lambda name: append(("end", name, None))
    parser.CharacterDataHandler = lambda text: append(("text", "", text))
    parser.CommentHandler = lambda text: append(("comment", "", text))
    parser.ProcessingInstructionHandler = lambda target, text: append(("pi", target, text))
    for i in range(0, len(data), CHUNK):
        parser.Parse(data[i : i + CHUNK], False)
        yield from out
        out.clear()
    parser.Parse(b"", True)
    yield from out


class _HTMLEvents(HTMLParser):
    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.out: list[tuple[str, str, Any]] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        self.out.append(("start", tag, attrs))

    def handle_startendtag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        self.out.append(("start", tag, attrs))
        self.out.append(("end", tag, None))

    def handle_endtag(self, tag: str) -> None:
        self.out.append(("end", tag, None))

    def handle_data(self, data: str) -> None:
        self.out.append(("text", "", data))

    def handle_comment(self, data: str) -> None:
        self.out.append(("comment", "", data))

    def handle_decl(self, decl: str) -> None:
        self.out.append(("declaration", "", decl))

    def handle_pi(self, data: str) -> None:
        self.out.append(("pi", "", data))


def html_events(data: bytes) -> Iterator[tuple[str, str, Any]]:
    parser = _HTMLEvents()
    decoder = codecs.getincrementaldecoder("utf-8")("replace")
    for i in range(0, len(data), CHUNK):
        parser.feed(decoder.decode(data[i : i + CHUNK]))
        yield from parser.out
        parser.out.clear()
    parser.feed(decoder.decode(b"", True))
    parser.close()
    yield from parser.out


# -- the goals -----------------------------------------------------------------


def _events_goal(
    key: str,
    title: str,
    target: float,
    doc: Input,
    mode: str,
    peer: str,
    stmt: str,
    settings: Settings,
    cm: Any,
    env: dict[str, Any],
) -> Goal:
    goal = Goal(key, title, target, True)
    goal.columns = ["document", "events", "corvane_markup ms", f"{peer} ms", "ratio"]
    env = dict(env, data=doc.data, cm=cm, drain=collections.deque, mode=mode)
    got = compare([Case("layer", "drain(cm.events(data, mode=mode), 0)", env), Case(peer, stmt, env)], settings)
    count = sum(1 for _ in cm.events(doc.data, mode=mode))
    r = ratio(got[peer], got["layer"])
    goal.measured = r
    goal.bars.append((doc.name, r))
    goal.rows.append(
        [doc.name, f"{count:,}", f"{got['layer'].seconds * 1e3:.3g}", f"{got[peer].seconds * 1e3:.3g}", f"{r:.2f}"]
    )
    goal.notes.append(
        f"{doc.name}: {doc.origin}. Both read the bytes in {CHUNK // 1024} KiB "
        "pieces, decode them and hand out each event; the loop that drains "
        "them is the same."
    )
    return goal


def tree_goal(doc: Input, settings: Settings, cm: Any) -> Goal:
    goal = Goal(
        "7c",
        "Tree building: corvane_markup.parse time / xml.etree.ElementTree.parse "
        "time (namespaces resolved as ElementTree resolves them)",
        1.0,
        False,
    )
    goal.columns = ["document", "case", "ms", "vs ElementTree.parse"]
    env = {"cm": cm, "ET": ET, "path": str(doc.path)}
    got = compare(
        [
            Case("layer", "cm.parse(path, namespaces=True)", env),
            Case("layer, names as written", "cm.parse(path)", env),
            Case("ElementTree", "ET.parse(path)", env),
        ],
        settings,
    )
    for label in ("layer", "layer, names as written", "ElementTree"):
        goal.rows.append(
            [doc.name, label, f"{got[label].seconds * 1e3:.3g}", f"{ratio(got[label], got['ElementTree']):.2f}"]
        )
    goal.measured = ratio(got["layer"], got["ElementTree"])
    goal.bars.append((doc.name, goal.measured))
    goal.notes.append(
        f"{doc.name}: {doc.origin}; both read the file from its path. "
        "The two trees are equal (the test suite checks it on this document)."
    )
    return goal


def goals(settings: Settings, real: bool = True, size: int = 1 << 20) -> list[Goal]:
    try:
        import corvane_markup as cm
    except ImportError:
        absent = [
            Goal(k, t, v, a, absent="corvane_markup is not installed")
            for k, t, v, a in (
                ("7a", "Events vs pyexpat", 1.5, True),
                ("7b", "Events vs html.parser", 5.0, True),
                ("7c", "Trees vs ElementTree.parse", 1.0, False),
            )
        ]
        return absent
    with tempfile.TemporaryDirectory() as folder:
        xml, page = inputs(real, size, Path(folder))
        env = {"expat_events": expat_events, "html_events": html_events}
        return [
            _events_goal(
                "7a",
                "Events, XML: the same stream built in Python from pyexpat (buffer_text) / corvane_markup.events",
                1.5,
                xml,
                "xml",
                "pyexpat",
                "drain(expat_events(data), 0)",
                settings,
                cm,
                env,
            ),
            _events_goal(
                "7b",
                "Events, HTML: the same stream built in Python from html.parser / corvane_markup.events",
                5.0,
                page,
                "sgml",
                "html.parser",
                "drain(html_events(data), 0)",
                settings,
                cm,
                env,
            ),
            tree_goal(xml, settings, cm),
        ]


@registry.group("7", "The public layer: whole events and trees against the standard library")
def layer_goals(ctx: Context) -> list[Goal]:
    real = any(doc.real for doc in ctx.corpus.xml)
    return goals(ctx.settings, real, ctx.sizes.document)


# -- memory on a large input ---------------------------------------------------


class Generated:
    """A binary stream of about `size` bytes of XML made as it is read."""

    RECORD = (
        '<record id="{0}" kind="entry"><title>Record {0}</title>'
        '<body lang="en">Some text &amp; more text, the same for each record.'
        "</body><!-- note --></record>\n"
    )

    def __init__(self, size: int) -> None:
        self.size = size
        self.made = 0
        self.i = 0
        self.state = 0

    def read(self, n: int = -1) -> bytes:
        if self.state == 0:
            self.state = 1
            out = b'<?xml version="1.0" encoding="utf-8"?>\n<records>\n'
        elif self.state == 2:
            return b""
        else:
            parts = []
            got = 0
            while got < max(n, CHUNK) and self.made + got < self.size:
                part = self.RECORD.format(self.i).encode()
                self.i += 1
                parts.append(part)
                got += len(part)
            out = b"".join(parts)
            if self.made + got >= self.size:
                out += b"</records>\n"
                self.state = 2
        self.made += len(out)
        return out


def memory(size: int) -> None:
    import corvane_markup as cm

    def peak() -> float:
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024

    before = peak()
    start = time.perf_counter()
    count = collections.deque(enumerate(cm.events(Generated(size))), 1)[0][0] + 1
    took = time.perf_counter() - start
    print(
        f"events: {size / 1e9:.2f} GB, {count:,} events in {took:.1f} s; "
        f"peak RSS {before:.0f} MiB before, {peak():.0f} MiB after"
    )
    start = time.perf_counter()
    elements = 0
    root = None
    for kind, element in cm.iterparse(Generated(size), ("start", "end")):
        if root is None:
            root = element
        elif kind == "end" and element.tag == "record":
            root.clear()
            elements += 1
    took = time.perf_counter() - start
    print(f"iterparse, each record cleared: {elements:,} records in {took:.1f} s; peak RSS {peak():.0f} MiB")


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--memory", nargs="?", const=1 << 30, type=int, metavar="BYTES")
    args = ap.parse_args(argv)
    if args.memory:
        memory(args.memory)
    return 0


if __name__ == "__main__":
    sys.exit(main())

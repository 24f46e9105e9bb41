"""Driving the parser over a document and turning its callbacks into events."""

import os
from collections.abc import Callable, Iterator
from itertools import chain
from typing import Any, NamedTuple

from .errors import InputError, native, warn
from .source import Document

EVENT_KINDS = ("start", "end", "text", "entity", "comment", "cdata", "pi", "special")

SGML_SUFFIXES = frozenset({".html", ".htm", ".sgml", ".sgm"})
XML_SUFFIXES = frozenset({".xml", ".xhtml", ".svg", ".xsl", ".xslt", ".xsd", ".rss", ".atom"})

# Text runs longer than this are handed on in pieces of exactly this size, so
# that a long run costs bounded memory and the events do not depend on how
# the input happened to be chunked.
TEXT_PIECE = 64 * 1024

# The parser holds an unfinished construct until its end arrives and scans it
# again with every piece; past this length it is not waited for.
MAX_HELD = 8 * 1024 * 1024

# Fed after the last piece when the parser still holds something. The
# constructs that need one more character after their end (a comment, a CDATA
# section, "<br/>" in SGML) then complete, and the character itself, which
# cannot continue any construct, comes back as text of its own and is dropped.
# Inside a truly unfinished construct it stays held and is discarded with it.
END_MARK = "\uffff"


class Event(NamedTuple):
    """One line of output.

    start: name, and value = [(attribute, value as markup), ...];
    end, entity: name; text, comment, cdata, special: value;
    pi: name = target, value = data.
    """

    kind: str
    name: str = ""
    # A str, or for a start tag the list of attributes.
    value: Any = None


def is_control(ch: str) -> bool:
    """C0 and C1 controls and DEL: never written raw, a terminal would act on them."""
    return ch < " " or "\x7f" <= ch <= "\x9f"


def attribute_markup(text: str) -> str:
    """A resolved piece of an attribute value, written back as markup."""
    out = []
    for ch in text:
        if ch == "&":
            out.append("&amp;")
        elif ch == "<":
            out.append("&lt;")
        elif ch == '"':
            out.append("&quot;")
        elif is_control(ch):
            out.append(f"&#{ord(ch)};")
        else:
            out.append(ch)
    return "".join(out)


class Collector:
    """The parser's target: rebuilds start tags and joins text runs.

    The parser reports a start tag as a series (enter, attribute by
    attribute with its value in text and reference pieces, leave) and text in
    as many runs as the pieces it was fed; the sink gets whole events.
    """

    def __init__(self, sink: Callable[[Event], None]) -> None:
        self.sink = sink
        self.text: list[str] = []
        self.text_length = 0
        self.attributes: list[tuple[str, str]] = []
        self.value: list[str] | None = None

    def flush(self) -> None:
        if self.text:
            self.sink(Event("text", value="".join(self.text)))
            self.text.clear()
            self.text_length = 0

    def drop_end_mark(self) -> None:
        run = "".join(self.text)
        if run.endswith(END_MARK):
            run = run[: -len(END_MARK)]
        self.text = [run] if run else []
        self.text_length = len(run)

    def handle_text(self, text: str) -> None:
        if self.value is not None:
            self.value.append(attribute_markup(text))
            return
        self.text.append(text)
        self.text_length += len(text)
        if self.text_length >= TEXT_PIECE:
            run = "".join(self.text)
            cut = len(run) - len(run) % TEXT_PIECE
            for i in range(0, cut, TEXT_PIECE):
                self.sink(Event("text", value=run[i : i + TEXT_PIECE]))
            self.text = [run[cut:]] if cut < len(run) else []
            self.text_length = len(run) - cut

    def handle_entityref(self, name: str) -> None:
        if self.value is not None:
            self.value.append(f"&{name};")
            return
        self.flush()
        self.sink(Event("entity", name))

    def handle_enterstarttag(self, name: str) -> None:
        self.flush()
        self.attributes = []

    def handle_enterattr(self, name: str) -> None:
        self.value = []

    def handle_leaveattr(self, name: str) -> None:
        self.attributes.append((name, "".join(self.value or ())))
        self.value = None

    def handle_leavestarttag(self, name: str) -> None:
        self.sink(Event("start", name, self.attributes))
        self.attributes = []

    def handle_endtag(self, name: str) -> None:
        self.flush()
        self.sink(Event("end", name))

    def handle_proc(self, target: str, data: str) -> None:
        self.flush()
        self.sink(Event("pi", target, data))

    def content(self, kind: str, text: str) -> None:
        self.flush()
        self.sink(Event(kind, value=text))

    def handle_comment(self, text: str) -> None:
        self.content("comment", text)

    def handle_cdata(self, text: str) -> None:
        self.content("cdata", text)

    def handle_special(self, text: str) -> None:
        self.content("special", text)


def choose_mode(path: str, start: str) -> str:
    """"xml" or "sgml" for a document, from its suffix and its first text."""
    head = start.lstrip("\ufeff \t\r\n")[:64].lower()
    if head.startswith("<?xml"):
        return "xml"
    suffix = os.path.splitext(path)[1].lower()
    if suffix in SGML_SUFFIXES:
        return "sgml"
    if suffix not in XML_SUFFIXES and head.startswith(("<!doctype html", "<html")):
        return "sgml"
    return "xml"


# Enough of the text's start to tell an XML declaration or an HTML page.
MODE_SNIFF = 64


def parse(
    doc: Document,
    mode: str | None,
    sink: Callable[[Event], None],
    after_piece: Callable[[], None] | None = None,
) -> str:
    """Feed the whole document to a parser; returns the mode used.

    `after_piece` runs after each piece has been fed, so that a sink can
    pass on what it has while the next piece is still being read.
    """
    corvane = native("corvane")
    pieces: Iterator[str] = doc.pieces()
    first = ""
    # A pipe may hand over the first bytes in tiny reads.
    while len(first) < MODE_SNIFF and (piece := next(pieces, None)) is not None:
        first += piece
    if mode is None:
        mode = choose_mode(doc.source.path, first)
    parser = corvane.XMLParser() if mode == "xml" else corvane.SGMLParser()
    collector = Collector(sink)
    parser.register(collector)
    fed = held = 0
    waiting: list[str] = []
    waiting_length = 0

    def feed(text: str) -> int:
        try:
            return int(parser.feed(text))
        except ValueError as exc:
            # The parser takes any text, but a few constructs make strings
            # that the interpreter refuses (a character reference beyond
            # U+10FFFF, a comment written "<!-->").
            raise InputError(
                f"{doc.label}: the parser refused the text between characters"
                f" {fed - len(text) - held} and {fed}: {exc}"
            ) from None

    for piece in chain((first,), pieces):
        waiting.append(piece)
        waiting_length += len(piece)
        # While a long construct is held, gather at least as much new text as
        # it holds before scanning it again, so the rescans stay linear.
        if waiting_length < held and held + waiting_length <= MAX_HELD:
            continue
        fed += waiting_length
        held = feed("".join(waiting))
        waiting.clear()
        waiting_length = 0
        if held > MAX_HELD:
            raise InputError(
                f"{doc.label}: a construct that starts at character {fed - held}"
                f" is still open after {held} characters (an unclosed comment,"
                " CDATA section or tag?)"
            )
        if after_piece is not None:
            after_piece()
    if waiting:
        fed += waiting_length
        held = feed("".join(waiting))
    lost = 0
    if held:
        fed += len(END_MARK)
        held = feed(END_MARK)
        if held:
            lost = held - len(END_MARK)
        else:
            collector.drop_end_mark()
    parser.close()
    collector.flush()
    if lost:
        doc.source.end_progress()
        warn(
            f"{doc.label}: the input ends inside an unfinished construct;"
            f" its last {lost} characters were not reported"
        )
    return mode

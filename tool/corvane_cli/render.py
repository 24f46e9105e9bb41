"""Events as lines: plain, coloured for a terminal, or JSON."""

from __future__ import annotations

import os
from collections.abc import Callable

try:
    # The encoder's own C function, without the rest of the json package.
    from _json import encode_basestring
except ImportError:  # pragma: no cover - an interpreter without the accelerator
    from json.encoder import encode_basestring

from .errors import native

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, TextIO

# Style codes as switchcolor reads them: foreground in bits 3-5, background
# in bits 0-2, bold 0x40. Everything is drawn on the default background.
DEFAULT_STYLE = 56
BLACK, RED, GREEN, YELLOW, BLUE, MAGENTA, CYAN, WHITE = range(8)
BOLD = 0x40


def foreground(colour: int, extra: int = 0) -> int:
    return (colour << 3) | extra


STYLES = {
    "kind": foreground(YELLOW),
    "tag": foreground(BLUE, BOLD),
    "attribute": foreground(CYAN),
    "value": foreground(GREEN),
    "text": DEFAULT_STYLE,
    "entity": foreground(MAGENTA),
    "comment": foreground(CYAN),
    "cdata": foreground(GREEN),
    "pi": foreground(MAGENTA, BOLD),
    "declaration": foreground(RED),
}

KIND_WIDTH = 8

Segments = list[tuple[str, str]]

# C0 and C1 controls and DEL are never written raw: a terminal would act on
# them. JSON's string form escapes C0 alone, so DEL, C1 and lone surrogates
# (which no encoding of the output can hold) are escaped here.
C1 = range(0x7F, 0xA0)
SURROGATES = range(0xD800, 0xE000)


class Escapes(dict[int, "str | int"]):
    """A translation table made as characters are met."""

    def __init__(self, codes: range | tuple[range, ...], form: str) -> None:
        super().__init__()
        self.ranges = codes if isinstance(codes, tuple) else (codes,)
        self.form = form

    def __missing__(self, code: int) -> str | int:
        # Any other character maps to itself, kept so that it is looked up once.
        found: str | int = code
        if any(code in r for r in self.ranges):
            found = self.form.format(code)
        self[code] = found
        return found


ESCAPES = Escapes((C1, SURROGATES), "\\u{:04x}")
REFERENCES = Escapes((range(0x20), C1), "&#{};")


def quoted(text: str) -> str:
    """A text as one line: JSON's string form, every control escaped."""
    out: str = encode_basestring(text)
    if out.isascii() and "\x7f" not in out:
        return out
    return out.translate(ESCAPES)


def visible(name: str) -> str:
    """A name as markup would write it, controls as character references."""
    return name if name.isprintable() else name.translate(REFERENCES)


def segments(event: Any) -> Segments:
    """The pieces of an event's line, each with the name of its style."""
    kind, name, value = event
    out: Segments = [("kind", (kind + " ").ljust(KIND_WIDTH))]
    if kind == "start":
        out.append(("tag", "<" + visible(name)))
        for attribute, text in value:
            out += [("text", " "), ("attribute", visible(attribute)), ("text", "="), ("value", quoted(text))]
        out.append(("tag", ">"))
    elif kind == "end":
        out.append(("tag", f"</{visible(name)}>"))
    elif kind == "entity":
        out.append(("entity", visible(name)))
    elif kind == "pi":
        out += [("pi", visible(name)), ("text", " "), ("pi", quoted(value))]
    else:
        out.append((kind, quoted(value)))
    return out


def json_line(event: Any) -> str:
    """An event as a JSON object on one line, as json.dumps writes it."""
    kind: str
    name: str
    kind, name, value = event
    if kind == "text":
        return '{"event": "text", "text": ' + encode_basestring(value) + "}"
    if kind == "start":
        pairs = ", ".join("[" + encode_basestring(a) + ", " + encode_basestring(v) + "]" for a, v in value)
        return '{"event": "start", "name": ' + encode_basestring(name) + ', "attributes": [' + pairs + "]}"
    if kind in ("end", "entity"):
        return '{"event": "' + kind + '", "name": ' + encode_basestring(name) + "}"
    if kind == "pi":
        return (
            '{"event": "pi", "target": ' + encode_basestring(name) + ', "data": ' + encode_basestring(value) + "}"
        )
    return '{"event": "' + kind + '", "text": ' + encode_basestring(value) + "}"


def wants_colour(option: str, stream: TextIO) -> bool:
    """--color, then NO_COLOR, then FORCE_COLOR, then whether it is a terminal."""
    if option != "auto":
        return option == "always"
    if os.environ.get("NO_COLOR"):
        return False
    if os.environ.get("FORCE_COLOR", "") not in ("", "0"):
        return True
    return stream.isatty() and os.environ.get("TERM") != "dumb"


class Painter:
    """Joins styled segments into a line, through switchcolor when colouring.

    Each line starts and ends in the terminal's default style, so a line cut
    off by a pager or by `head` leaves nothing switched on.
    """

    def __init__(self, colour: bool) -> None:
        self.switch = native("_lumet").switchcolor if colour else None

    def line(self, parts: Segments) -> str:
        if self.switch is None:
            return "".join(text for _, text in parts)
        out = []
        current = DEFAULT_STYLE
        for style, text in parts:
            code = STYLES[style]
            out.append(self.switch(current, code))
            out.append(text)
            current = code
        out.append(self.switch(current, DEFAULT_STYLE))
        return "".join(out)


class EventWriter:
    """A sink that writes a batch of events, one line each."""

    def __init__(self, stream: TextIO, as_json: bool, painter: Painter) -> None:
        self.stream = stream
        self.line: Callable[[Any], str] = json_line if as_json else lambda event: painter.line(segments(event))

    def __call__(self, events: list[Any]) -> None:
        if events:
            self.stream.write("\n".join(map(self.line, events)) + "\n")

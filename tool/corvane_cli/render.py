"""Events as lines: plain, coloured for a terminal, or JSON."""

import json
import os
from typing import TextIO

from .errors import native
from .markup import Event, is_control

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
    "special": foreground(RED),
}

KIND_WIDTH = 8

Segments = list[tuple[str, str]]


def quoted(text: str) -> str:
    # JSON's string form keeps every event on one line and shows whitespace;
    # it leaves DEL and the C1 controls as they are, so those are escaped here.
    return "".join(
        f"\\u{ord(ch):04x}" if is_control(ch) else ch for ch in json.dumps(text, ensure_ascii=False)
    )


def visible(name: str) -> str:
    """A name as markup would write it, controls as character references."""
    if not any(is_control(ch) for ch in name):
        return name
    return "".join(f"&#{ord(ch)};" if is_control(ch) else ch for ch in name)


def segments(event: Event) -> Segments:
    """The pieces of an event's line, each with the name of its style."""
    out: Segments = [("kind", event.kind.ljust(KIND_WIDTH))]
    kind, name, value = event
    name = visible(name)
    if kind == "start":
        out.append(("tag", "<" + name))
        for attribute, text in value:
            out += [
                ("text", " "),
                ("attribute", visible(attribute)),
                ("text", '="'),
                ("value", text),
                ("text", '"'),
            ]
        out.append(("tag", ">"))
    elif kind == "end":
        out.append(("tag", f"</{name}>"))
    elif kind == "entity":
        out.append(("entity", f"&{name};"))
    elif kind == "pi":
        out += [("pi", name), ("text", " "), ("pi", quoted(value))]
    else:
        out.append((kind, quoted(value)))
    return out


def record(event: Event) -> dict[str, object]:
    kind, name, value = event
    if kind == "start":
        return {"event": kind, "name": name, "attributes": [list(a) for a in value]}
    if kind in ("end", "entity"):
        return {"event": kind, "name": name}
    if kind == "pi":
        return {"event": kind, "target": name, "data": value}
    return {"event": kind, "text": value}


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
    """A sink that writes one line per event."""

    def __init__(self, stream: TextIO, as_json: bool, painter: Painter) -> None:
        self.stream = stream
        self.as_json = as_json
        self.painter = painter

    def __call__(self, event: Event) -> None:
        if self.as_json:
            line = json.dumps(record(event), ensure_ascii=False)
        else:
            line = self.painter.line(segments(event))
        self.stream.write(line + "\n")

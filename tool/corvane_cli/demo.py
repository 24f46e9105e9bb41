"""corvane demo: the three native modules at work on the bundled samples."""

import argparse
import sys
from collections.abc import Callable
from pathlib import Path

from .errors import NO_MODULE, OK, CliError, layer, native
from .markup import Reading
from .render import DEFAULT_STYLE, Painter, segments, wants_colour
from .source import Input, open_input

SAMPLES = Path(__file__).parent / "samples"
MENUS = ["menu-utf8.xml", "menu-utf16.xml", "menu-latin1.xml", "menu-cp037.xml"]
NAMED = [*MENUS, "menu-shiftjis.xml", "page.html"]

# (style code, word): background in bits 0-2, foreground in bits 3-5,
# bold 0x40, underline 0x80, blink 0x100.
WORDS = [
    (56, "plain"),
    (56 | 0x40, "bold"),
    (1 << 3, "red"),
    ((2 << 3) | 0x80, "green-underlined"),
    ((3 << 3) | 4, "yellow-on-blue"),
    ((7 << 3) | 1 | 0x40, "bold-on-red"),
    (56, "plain again"),
]


def sample(name: str) -> str:
    return str(SAMPLES / name)


def naming() -> None:
    detectencoding = native("_vexil").detectencoding
    open_document = layer().open_document
    for name in NAMED:
        data = Path(sample(name)).read_bytes()
        found = detectencoding(data, 1)
        first = data[:6].hex(" ")
        how = open_document(data, name=name).found_by
        print(f"  {name:<18} {first:<18} -> {found:<11} ({how})")


def rewriting() -> None:
    fixencoding = native("_vexil").fixencoding
    detectencoding = native("_vexil").detectencoding
    texts = []
    for name in MENUS:
        data = Path(sample(name)).read_bytes()
        texts.append(data.decode(detectencoding(data, 1)))
    latin1 = texts[MENUS.index("menu-latin1.xml")]
    print("  menu-latin1.xml as it is:   " + latin1.splitlines()[0])
    print("  fixencoding(text, 'utf-8'): " + fixencoding(latin1, "utf-8").splitlines()[0])
    same = len({fixencoding(text, "utf-8") for text in texts}) == 1
    print(
        f"  the {len(MENUS)} menus, decoded and rewritten to name utf-8,"
        f" are {'one and the same' if same else 'NOT the same'} text"
    )


def parsing(painter: Painter) -> None:
    for name in ["menu-shiftjis.xml", "page.html"]:
        with Input(sample(name)) as source, open_input(source) as doc:
            print(f"  {name}, {doc.encoding}, {doc.mode} mode:")
            for batch in Reading(doc, source):
                for event in batch:
                    print("    " + painter.line(segments(event)))


def styling(colour: bool) -> None:
    switchcolor = native("_lumet").switchcolor
    current = DEFAULT_STYLE
    shown = []
    for code, word in WORDS:
        sequence = switchcolor(current, code)
        print(f"  switchcolor({current:3}, {code:3}) = {sequence!r:<16} {word}")
        current = code
        shown.append(switchcolor(DEFAULT_STYLE, code) + word + switchcolor(code, DEFAULT_STYLE))
    if colour:
        print("  " + " ".join(shown))


def demo(args: argparse.Namespace) -> int:
    colour = wants_colour("auto", sys.stdout)
    sections: list[tuple[str, Callable[[], None]]] = [
        ("Naming the encoding: _vexil.detectencoding (corvane encoding FILE...)", naming),
        (
            "Rewriting the declaration: _vexil.fixencoding (corvane recode FILE --to ENCODING)",
            rewriting,
        ),
        (
            "Events: corvane.XMLParser and corvane.SGMLParser (corvane events FILE)",
            lambda: parsing(Painter(colour)),
        ),
        (
            "Terminal styles: _lumet.switchcolor (the colours of corvane events)",
            lambda: styling(colour),
        ),
    ]
    print(f"The sample documents are in {SAMPLES}\n")
    for number, (title, show) in enumerate(sections, 1):
        print(f"{number}. {title}")
        try:
            show()
        except CliError as exc:
            if exc.status != NO_MODULE:
                raise
            # The other sections still show what this installation has.
            print(f"  skipped: {exc}")
        print()
    return OK

"""Real documents: corvane in XML mode reports the elements, attributes, text,
comments and processing instructions that expat reports.

The two differ by nature, and the comparison evens that out: expat resolves
references and merges text as it likes, so text between two pieces of markup
is compared whole; attribute values are rebuilt from the calls between
enterattr and leaveattr; the XML declaration and the document type
declaration are left out, and so is the white space around the root element,
which expat does not report.  The scanner cuts an attribute value at a ">",
so both parsers read the documents with each ">" inside a value written as
"&gt;", which means the same to expat.
"""

import importlib
import pathlib
import re
from xml.parsers import expat

import pytest

from scanner_twin import ModelParser
from installed_documents import installed_documents

FIXTURES = sorted(p for p in (pathlib.Path(__file__).parent / "data").iterdir() if p.suffix != ".md")

START_TAG = re.compile(r"""<[^\s!?/<>]+(?:\s+[^\s=<>]+\s*=\s*(?:"[^"]*"|'[^']*'))*\s*/?>""")
QUOTED = re.compile(r""""[^"]*"|'[^']*'""")


def escape_gt_in_values(text):
    def in_tag(tag):
        return QUOTED.sub(lambda value: value[0].replace(">", "&gt;"), tag[0])

    return START_TAG.sub(in_tag, text)


def line_ends(s):
    return s.replace("\r\n", "\n").replace("\r", "\n")


def attribute_value(s):
    # Attribute-value normalisation turns each white-space character into a
    # space; a character reference to one is normalised alike on both sides.
    return line_ends(s).translate({9: 32, 10: 32, 13: 32})


class Unsupported(Exception):
    """The document uses what corvane leaves to its host (declared entities)."""


def expat_items(data):
    items, text = [], []
    parser = expat.ParserCreate()
    parser.ordered_attributes = True
    parser.specified_attributes = True

    def flush():
        if text:
            items.append(("text", line_ends("".join(text))))
            text.clear()

    def start(name, attributes):
        flush()
        pairs = zip(attributes[::2], attributes[1::2])
        items.append(("start", name, [(n, attribute_value(v)) for n, v in pairs]))

    def end(name):
        flush()
        items.append(("end", name))

    def comment(data):
        flush()
        items.append(("comment", line_ends(data)))

    def processing_instruction(target, data):
        flush()
        items.append(("pi", target, line_ends(data)))

    def entity(*args):
        raise Unsupported("entity declaration")

    parser.StartElementHandler = start
    parser.EndElementHandler = end
    parser.CharacterDataHandler = text.append
    parser.CommentHandler = comment
    parser.ProcessingInstructionHandler = processing_instruction
    parser.EntityDeclHandler = entity
    parser.Parse(data, True)
    flush()
    return items


class Rebuilder:
    """A target that turns corvane's events into expat's kind of items."""

    def __init__(self):
        self.items, self.text, self.depth = [], [], 0
        self.attributes = self.value = None

    def flush(self):
        run = "".join(self.text)
        self.text.clear()
        # Outside the root element only markup counts.
        if run and self.depth > 0:
            self.items.append(("text", line_ends(run)))

    def handle_enterstarttag(self, name):
        self.flush()
        self.attributes = []

    def handle_enterattr(self, name):
        self.value = []

    def handle_text(self, s):
        (self.text if self.value is None else self.value).append(s)

    handle_cdata = handle_text

    def handle_entityref(self, name):
        self.items.append(("unresolved", name))

    def handle_leaveattr(self, name):
        self.attributes.append((name, attribute_value("".join(self.value))))
        self.value = None

    def handle_leavestarttag(self, name):
        self.items.append(("start", name, self.attributes))
        self.depth += 1

    def handle_endtag(self, name):
        self.flush()
        self.items.append(("end", name))
        self.depth -= 1

    def handle_comment(self, data):
        self.flush()
        self.items.append(("comment", line_ends(data)))

    def handle_proc(self, target, data):
        self.flush()
        # The XML declaration is no processing instruction to expat.
        if target != "xml":
            self.items.append(("pi", target, line_ends(data)))


def corvane_items(parser, text, piece):
    target = Rebuilder()
    parser.register(target)
    for i in range(0, len(text), piece):
        parser.feed(text[i : i + piece])
    assert parser.close() == 0
    target.flush()
    return target.items


def compare(parser, path, piece):
    try:
        text = escape_gt_in_values(path.read_bytes().decode("utf-8"))
        expected = expat_items(text.encode("utf-8"))
    except (UnicodeDecodeError, expat.ExpatError, Unsupported) as why:
        pytest.skip(f"{path.name}: {why}")
    assert corvane_items(parser, text, piece or len(text) or 1) == expected


def native_parser():
    return importlib.import_module("corvane").XMLParser()


PIECES = [0, 1, 7, 4096]


@pytest.mark.parametrize("piece", PIECES)
@pytest.mark.parametrize("path", FIXTURES, ids=lambda p: p.name)
@pytest.mark.parametrize("make", [lambda: ModelParser(True), native_parser], ids=["model", "native"])
def test_fixed_documents(make, path, piece):
    compare(make(), path, piece)


@pytest.mark.parametrize("piece", [0, 4096])
@pytest.mark.parametrize("path", installed_documents(), ids=lambda p: f"{p.parent.name}/{p.name}")
def test_installed_documents(path, piece):
    compare(native_parser(), path, piece)


def test_the_rebuilt_events_are_not_trivially_empty():
    items = corvane_items(ModelParser(True), FIXTURES[0].read_text("utf-8"), 1 << 20)
    kinds = {item[0] for item in items}
    assert {"start", "end", "text", "comment"} <= kinds

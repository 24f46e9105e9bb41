"""Ways to feed a parser, of the native module or of its twin (the factory
fixture picks one), and compare what it reports with what a table expects."""

import random

import corvane
from events import HANDLERS, Recorder, merged

MODES = {"xml": corvane.XMLParser, "sgml": corvane.SGMLParser}


def native(xml_mode):
    return corvane.XMLParser() if xml_mode else corvane.SGMLParser()


def run(mode, pieces, names=HANDLERS, factory=native, end="close"):
    """Feeds the pieces to a new parser and ends the text with close, or
    with a parse of the last piece; returns the events and what that last
    call returned."""
    parser = factory(mode == "xml")
    target = Recorder(names)
    parser.register(target)
    for piece in pieces if end == "close" else pieces[:-1]:
        parser.feed(piece)
    return target.events, parser.close() if end == "close" else parser.parse(pieces[-1])


def two_piece_splits(text):
    for cut in range(1, len(text)):
        yield [text[:cut], text[cut:]]


def random_splits(text, count=5, seed=0):
    if len(text) < 2:
        return
    rng = random.Random(seed)
    for _ in range(count):
        cuts = sorted(rng.sample(range(1, len(text)), min(len(text) - 1, rng.randint(1, 6))))
        yield [text[a:b] for a, b in zip([0, *cuts], [*cuts, len(text)])]


def check_case(mode, text, expected, result=0, names=HANDLERS, factory=native):
    """The text fed whole, or parsed in one call, gives exactly the expected
    events and result; cut into pieces, the same once neighbouring texts are
    joined."""
    assert run(mode, [text], names, factory) == (expected, result)
    assert run(mode, [text], names, factory, "parse") == (expected, result)
    want = (merged(expected), result)
    for pieces in [*two_piece_splits(text), *random_splits(text)]:
        events, got = run(mode, pieces, names, factory)
        assert (merged(events), got) == want, pieces

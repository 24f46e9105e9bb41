"""Ways to feed a parser, of the native module or of its twin, and compare
what it reports with what a table expects."""

import random

import pytest

import corvane
from events import HANDLERS, Recorder, merged
from scanner_twin import ModelParser

MODES = {"xml": corvane.XMLParser, "sgml": corvane.SGMLParser}


def native(xml_mode):
    return corvane.XMLParser() if xml_mode else corvane.SGMLParser()


@pytest.fixture(params=["model", "native"])
def factory(request):
    """Makes a parser, given whether it reads XML, of the twin or of the
    native module."""
    return ModelParser if request.param == "model" else native


def run(mode, pieces, names=HANDLERS, factory=native):
    """Feeds the pieces to a new parser and closes it; returns the events and
    what close returned."""
    parser = factory(mode == "xml")
    target = Recorder(names)
    parser.register(target)
    for piece in pieces:
        parser.feed(piece)
    return target.events, parser.close()


def two_piece_splits(text):
    for cut in range(1, len(text)):
        yield [text[:cut], text[cut:]]


def random_splits(text, count=5, seed=0):
    rng = random.Random(seed)
    for _ in range(count):
        cuts = sorted(rng.sample(range(1, len(text)), min(len(text) - 1, rng.randint(1, 6))))
        yield [text[a:b] for a, b in zip([0, *cuts], [*cuts, len(text)])]


def check_case(mode, text, expected, result=0, names=HANDLERS, factory=native):
    """The text fed whole gives exactly the expected events and result; cut
    into pieces, the same once neighbouring texts are joined."""
    assert run(mode, [text], names, factory) == (expected, result)
    want = (merged(expected), result)
    for pieces in [*two_piece_splits(text), *random_splits(text)]:
        events, got = run(mode, pieces, names, factory)
        assert (merged(events), got) == want, pieces

"""A target that logs what a FastParser reports to it, and ways to feed it."""

import random

try:
    import corvane
except ImportError:  # the twin's own tests run without the native module
    corvane = None

HANDLERS = (
    "enterstarttag",
    "leavestarttag",
    "enterattr",
    "leaveattr",
    "endtag",
    "proc",
    "special",
    "charref",
    "entityref",
    "text",
    "cdata",
    "comment",
)

MODES = {"xml": corvane.XMLParser, "sgml": corvane.SGMLParser} if corvane else {}


class Recorder:
    """Binds handle_<name> for each of `names` and logs (name, *args); a
    subclass's own handle_ methods and properties take precedence."""

    def __init__(self, names=HANDLERS):
        self.events = []
        for name in names:
            if not hasattr(type(self), "handle_" + name):
                setattr(self, "handle_" + name, self._recorder(name))

    def _recorder(self, name):
        def record(*args):
            self.events.append((name, *args))

        return record


def text(t):
    return ("text", t)


def tag(name, *attrs, empty=False):
    """The events of a start tag; each attribute is (name, *value events)."""
    events = [("enterstarttag", name)]
    for attr_name, *value in attrs:
        events += [("enterattr", attr_name), *value, ("leaveattr", attr_name)]
    events.append(("leavestarttag", name))
    if empty:
        events.append(("endtag", name))
    return events


def merged(events):
    """Joins neighbouring text events: where a text is cut into pieces, its
    runs end at the cuts."""
    out = []
    for event in events:
        if event[0] == "text" and out and out[-1][0] == "text":
            out[-1] = ("text", out[-1][1] + event[1])
        else:
            out.append(event)
    return out


def run(mode, pieces, names=HANDLERS):
    """Feeds the pieces to a new parser and closes it; returns the events and
    what close returned."""
    parser = MODES[mode]()
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


def check_case(mode, text, expected, result=0, names=HANDLERS):
    """The text fed whole gives exactly the expected events and result; cut
    into pieces, the same once neighbouring texts are joined."""
    assert run(mode, [text], names) == (expected, result)
    want = (merged(expected), result)
    for pieces in [*two_piece_splits(text), *random_splits(text)]:
        events, got = run(mode, pieces, names)
        assert (merged(events), got) == want, pieces

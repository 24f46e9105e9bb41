"""What a FastParser reports to its target, in one place for the tests, the
fuzz harnesses and the benchmarks: the twelve handler names, a target that
records what it is told, and the events that constructs give."""

# In the order register looks them up.
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
BINDING_ORDER = tuple("handle_" + name for name in HANDLERS)


class Recorder:
    """Binds handle_<name> for each of `names` to log (prefix + name, *args)
    in `events`; a subclass's own handle_ methods and properties take
    precedence.

    With `at` and `act`, the handler called at-th (counting from 1) first runs
    act(event), which may raise, register or feed; a subclass may override
    on_call to act at every call.
    """

    def __init__(self, names=HANDLERS, events=None, prefix="", at=0, act=None):
        self.events = [] if events is None else events
        self.calls, self.at, self.act = 0, at, act
        for name in names:
            if not hasattr(type(self), "handle_" + name):
                setattr(self, "handle_" + name, self._handler(prefix + name))

    def _handler(self, event):
        def handle(*args):
            self.on_call(event, args)
            self.events.append((event, *args))

        return handle

    def on_call(self, event, args):
        self.calls += 1
        if self.calls == self.at:
            self.act(event)


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

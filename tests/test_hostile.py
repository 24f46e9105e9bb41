"""Callbacks that turn on their parser: they register other targets, drop the
last reference to the parser or to their own target, run the collector,
raise exceptions that are not errors, or call back into the parser, and they
do it at every kind of report, in the middle of a start tag as well as
between constructs. None of it may crash, leak, lose or repeat an event that
the rules do not lose or repeat."""

import gc
import sys
import weakref

import pytest

import corvane
from events import BINDING_ORDER, HANDLERS, Recorder

MODES = {"xml": corvane.XMLParser, "sgml": corvane.SGMLParser}
# Every handler is reached in XML mode, all but handle_cdata in SGML mode;
# the text ends in an unfinished tag so that the results are not all 0.
DOCUMENT = (
    "<?p d?><!DOCTYPE r [<!ENTITY e 'v'> %p; ]><r a='1&amp;&x;' b>t&#65;&e;<![CDATA[c]]><!--m--></r><e/>.<u v"
)


def recorder(log):
    """Records every report into log, under the handler's own name."""
    return Recorder(HANDLERS, log, "handle_")


class Hostile(Recorder):
    """Records like recorder and runs `action` once, at the first report that
    goes to `trigger`, after recording it."""

    def __init__(self, log, trigger, action):
        self.trigger, self.action = trigger, action
        super().__init__(HANDLERS, log, "handle_")

    def _handler(self, event):
        record = super()._handler(event)
        if event != self.trigger:
            return record

        def handler(*args):
            record(*args)
            action, self.action = self.action, None
            if action:
                action(self)

        return handler


def baseline(mode, source=DOCUMENT):
    log = []
    parser = MODES[mode]()
    parser.register(recorder(log))
    return log, parser.feed(source)


def reached_cases():
    for mode in MODES:
        kinds = {event[0] for event in baseline(mode)[0]}
        for name in BINDING_ORDER:
            if name in kinds:
                yield pytest.param(mode, name, id=f"{mode}-{name[7:]}")


REACHED = list(reached_cases())


def first(log, name):
    return next(i for i, event in enumerate(log) if event[0] == name)


def run(mode, trigger, act):
    """Feeds the document to a parser whose target runs `act` at `trigger`;
    returns the log, the result of feed (or the exception it raised) and a
    holder through which `act` reaches the parser and the target."""
    log = []
    holder = {"parser": MODES[mode]()}
    holder["target"] = Hostile(log, trigger, lambda target: act(holder, target))
    holder["parser"].register(holder["target"])
    feed = holder["parser"].feed
    try:
        result = feed(DOCUMENT)
    except BaseException as exc:  # noqa: B036 - what the callback raised is the result
        result = exc
    return log, result, holder


# --- Actions that change nothing the scan reports ---------------------------


def register_equivalent(holder, target):
    # A new target that writes to the same log: the events must go on as if
    # nothing happened, none lost, none twice.
    holder["parser"].register(recorder(target.events))


def register_self_again(holder, target):
    holder["parser"].register(target)


def drop_parser(holder, target):
    del holder["parser"]
    gc.collect()


def recursive_calls(holder, target):
    parser = holder["parser"]
    for method, args in (("feed", ("<z>",)), ("close", ()), ("parse", ("<z>",))):
        with pytest.raises(AssertionError, match="^recursive feed$"):
            getattr(parser, method)(*args)


@pytest.mark.parametrize("act", [register_equivalent, register_self_again, drop_parser, recursive_calls])
@pytest.mark.parametrize("mode, trigger", REACHED)
def test_harmless_at_every_report(mode, trigger, act):
    log, result, _ = run(mode, trigger, act)
    assert (log, result) == baseline(mode)


# --- Unbinding everything from inside --------------------------------------


@pytest.mark.parametrize("mode, trigger", REACHED)
def test_unbinding_and_dropping_the_target(mode, trigger):
    def act(holder, target):
        watch.append(weakref.ref(target))
        del holder["target"]
        holder["parser"].register(None)
        gc.collect()
        # The call in progress still has its target.
        assert isinstance(target.events, list)

    watch = []
    log, result, holder = run(mode, trigger, act)
    want, held = baseline(mode)
    # Reports stop right after the one that unbound them; the text is
    # consumed all the same.
    assert (log, result) == (want[: first(want, trigger) + 1], held)
    gc.collect()
    assert watch[0]() is None


# --- Exceptions that are not errors ----------------------------------------


class Stop(BaseException):
    pass


@pytest.mark.parametrize("kind", [KeyboardInterrupt, SystemExit, GeneratorExit, Stop, MemoryError])
@pytest.mark.parametrize("mode, trigger", REACHED)
def test_base_exception_passes_through_and_text_is_kept(mode, trigger, kind):
    raised = kind("from the callback")

    def act(holder, target):
        raise raised

    log, result, holder = run(mode, trigger, act)
    want, held = baseline(mode)
    assert result is raised
    assert log == want[: first(want, trigger) + 1]
    # The parser is not left busy, and the next call scans the whole held
    # text again from its start.
    del log[:]
    assert holder["parser"].feed("") == held
    assert log == want


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize(
    "trigger", ["handle_enterstarttag", "handle_endtag", "handle_proc", "handle_special", "handle_comment"]
)
def test_binding_more_handlers_from_a_callback(mode, trigger):
    # The scan began with one slot bound; once its callback binds all of
    # them, every later report, the rest of the same tag included, reaches
    # the new target.
    full, _ = baseline(mode)
    log = []
    parser = MODES[mode]()
    lone = type("Lone", (), {trigger: lambda self, *args: parser.register(recorder(log))})()
    parser.register(lone)
    parser.feed(DOCUMENT)
    assert log == full[first(full, trigger) + 1 :]


# --- Built-in methods as callbacks -------------------------------------------


def test_own_feed_as_a_callback():
    parser = corvane.XMLParser()
    target = type("Target", (), {})()
    target.handle_text = parser.feed
    parser.register(target)
    with pytest.raises(AssertionError, match="^recursive feed$"):
        parser.feed("text<a>")
    # Nothing consumed, nothing left busy.
    target.handle_text = None
    parser.register(None)
    assert parser.feed("") == 0


def test_own_register_as_a_callback():
    # register called by the scan itself with the tag name: a str has no
    # handle_* attributes, so every slot empties while the scan runs.
    log = []
    parser = corvane.XMLParser()
    target = recorder(log)
    target.handle_endtag = parser.register
    parser.register(target)
    assert parser.feed("<a>x</a>y<b>") == 0
    assert log == [("handle_enterstarttag", "a"), ("handle_leavestarttag", "a"), ("handle_text", "x")]


def test_another_parser_as_the_callback_chain():
    # Each parser's text handler feeds the next one: the same target is in
    # use by three parsers at once, each of them busy.
    log = []
    chain = [corvane.XMLParser() for _ in range(3)]
    for parser, following in zip(chain, chain[1:]):
        relay = recorder(log)
        relay.handle_text = following.feed
        parser.register(relay)
    chain[-1].register(recorder(log))
    assert chain[0].feed("<a>&lt;b&gt;c&lt;/b&gt;</a>") == 0
    # The first parser resolves the references into pieces of text, each fed
    # on; the second joins them into markup again, and its text goes on to
    # the third.
    assert log == [
        ("handle_enterstarttag", "a"),
        ("handle_leavestarttag", "a"),
        ("handle_enterstarttag", "b"),
        ("handle_leavestarttag", "b"),
        ("handle_text", "c"),
        ("handle_endtag", "b"),
        ("handle_endtag", "a"),
    ]


# --- Code run by register and by the collector ------------------------------


def test_feed_from_an_attribute_lookup_inside_register():
    # register is not guarded: a lookup may feed the parser while only some
    # slots are bound, and may register again underneath the running
    # register, which then goes on binding the names after that lookup.
    parser = corvane.XMLParser()
    inner_log, outer_log, seen = [], [], []
    inner = recorder(inner_log)
    inner_refs = sys.getrefcount(inner)

    class Outer(Recorder):
        @property
        def handle_proc(self):
            seen.append(parser.feed("<a b='1'>x<!--c-->."))
            parser.register(inner)
            seen.append(parser.parse("y<?p q?>"))
            return self._handler("handle_proc")

    parser.register(Outer(HANDLERS, outer_log, "handle_"))
    assert seen == [0, 0]
    # Only the names before handle_proc were bound during the first feed.
    assert outer_log == [
        ("handle_enterstarttag", "a"),
        ("handle_enterattr", "b"),
        ("handle_leaveattr", "b"),
        ("handle_leavestarttag", "a"),
    ]
    assert inner_log == [("handle_text", "y"), ("handle_proc", "p", "q")]
    # The names up to handle_endtag stay with the inner target, the rest
    # went to the outer one.
    del outer_log[:], inner_log[:]
    assert parser.parse("<!--d--><e/>z") == 0
    assert inner_log == [("handle_enterstarttag", "e"), ("handle_leavestarttag", "e"), ("handle_endtag", "e")]
    assert outer_log == [("handle_comment", "d"), ("handle_text", "z")]
    parser.register(None)
    assert sys.getrefcount(inner) == inner_refs


def test_finalizer_run_by_the_collector_feeds_and_registers():
    # The parser, its target and the target's handler form a cycle; when the
    # collector finalizes the handler, the finalizer still reaches the parser
    # and uses it, before the collector clears it.
    events, done = [], []
    spare = [recorder(events)]
    watch_spare = weakref.ref(spare[0])

    class Handler:
        def __init__(self, parser):
            self.parser = parser

        def __call__(self, *args):
            pass

        def __del__(self):
            done.append(self.parser.parse("<a>x"))
            self.parser.register(spare.pop())
            done.append(self.parser.parse("<b>y"))

    class Target:
        pass

    parser = corvane.SGMLParser()
    target = Target()
    target.handle_text = Handler(parser)
    parser.register(target)
    watch = weakref.ref(target)
    del parser, target
    gc.collect()
    gc.collect()
    assert done == [0, 0]
    assert watch() is None
    assert ("handle_text", "y") in events
    assert watch_spare() is None

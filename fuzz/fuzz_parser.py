"""The parser in both modes with random handler sets and random chunking.

Input: eight bytes of choices, then the text.

- byte 0: bit 0 the mode; bits 1-2 how the text ends (close, a final parse
  of the last piece, one parse of everything); bit 3 hostile callbacks.
- bytes 1-2: which of the twelve handlers the target has.
- byte 3: seeds the cutting of the text into pieces.
- bytes 4-7: with hostile callbacks, four actions, each run once when the
  callbacks have been called a given number of times (high nibble) and
  picked by the low nibble: raise an exception, KeyboardInterrupt or another
  BaseException; register another target, None, the same target again or a
  target whose handlers are not callable; call feed, close or parse on the
  running parser; run the collector; drop the last outside reference to the
  parser or to the target.

Without hostile callbacks the events of the pieces must equal those of the
whole text (runs of text merged, since a piece boundary ends a run), and so
must the count of code points discarded. With them, whatever happened, the
parser must afterwards parse a small document as a fresh one does."""

import gc
import random

from harness import need, run, text  # first: it puts the twins on the path

from events import BINDING_ORDER, HANDLERS, Recorder, merged

corvane = need("corvane")

ALL = (1 << len(HANDLERS)) - 1
CHECK = "<a x='1&amp;2' y>t&#65;&lt;<!--c--><?p d?><![CDATA[z]]></a><b/>&e;<!DOCTYPE r [<!ENTITY e 'v'> %p; ]>."


class Boom(Exception):
    pass


class Halt(BaseException):
    pass


class Hostile:
    """Runs each planned action once, when the callbacks have been called
    the planned number of times."""

    def __init__(self, plan):
        self.plan = plan
        self.calls = 0
        self.parser = None  # reached from the target, so the two form a cycle
        self.expected = (Boom, KeyboardInterrupt, Halt)
        self.outside = {}

    def __call__(self, target):
        self.calls += 1
        for when, action in self.plan:
            if when == self.calls:
                self.act(action, target)

    def act(self, action, target):
        parser = target.parser
        if action == 0:
            raise Boom()
        if action == 1:
            raise KeyboardInterrupt()
        if action == 2:
            raise Halt()
        if parser is None:
            return
        if action == 3:
            other = Target(ALL ^ target.mask, [], self)
            other.parser = parser
            parser.register(other)
        elif action == 4:
            parser.register(None)
        elif action == 5:
            parser.register(target)
        elif action == 6:
            parser.register(type("Broken", (), dict.fromkeys(BINDING_ORDER))())
            self.expected += (TypeError,)
        elif action in (7, 8, 9):
            method = ("feed", "close", "parse")[action - 7]
            args = () if method == "close" else ("<b>",)
            try:
                getattr(parser, method)(*args)
            except AssertionError as exc:
                assert str(exc) == "recursive feed", exc
            else:
                raise AssertionError(f"{method} ran inside a callback")
        elif action in (10, 11):
            # The young generations hold this input's parser and target; a
            # full collection of the fuzzer's whole heap would cost far more.
            gc.collect(1)
        elif action == 12:
            # The caller's parser and the target's link to it go; the call
            # in progress keeps it alive until it returns.
            self.outside.clear()
            target.parser = None
            gc.collect(1)
        elif action == 13:
            self.outside.pop("target", None)
            parser.register(None)
            gc.collect(1)


class Target(Recorder):
    """Records the handlers of `mask` into log and calls hook(target) at
    every report."""

    def __init__(self, mask, log, hook):
        super().__init__([name for i, name in enumerate(HANDLERS) if mask >> i & 1], log)
        self.mask, self.hook = mask, hook
        self.parser = None

    def on_call(self, event, args):
        assert all(type(a) is str for a in args), (event, args)
        self.hook(self)


def pieces_of(s, seed):
    rng = random.Random(seed)
    cuts = sorted(rng.sample(range(1, len(s)), min(len(s) - 1, rng.randint(0, 12)))) if len(s) > 1 else []
    return [s[a:b] for a, b in zip([0, *cuts], [*cuts, len(s)])]


def new_parser(xml):
    return corvane.XMLParser() if xml else corvane.SGMLParser()


def run_text(xml, mask, pieces, ending, hook):
    """Feeds the pieces and ends the text; returns the log and the count
    that the final call gives."""
    log = []
    parser = new_parser(xml)
    target = Target(mask, log, hook)
    target.parser = parser
    parser.register(target)
    if hasattr(hook, "outside"):
        hook.outside.update(parser=parser, target=target)
    del parser, target
    fed = 0
    result = None
    outside = getattr(hook, "outside", {"parser": None})
    for i, piece in enumerate(pieces):
        parser = outside.get("parser")
        if parser is None:
            return log, None
        last = i == len(pieces) - 1
        try:
            if last and ending == 1:
                result = parser.parse(piece)
                fed = 0
            else:
                fed += len(piece)
                held = parser.feed(piece)
                assert type(held) is int and 0 <= held <= fed, (held, fed)
        except BaseException as exc:
            if not isinstance(exc, getattr(hook, "expected", ())):
                raise
        del parser
    parser = outside.get("parser")
    if parser is not None and result is None:
        try:
            result = parser.close()
        except BaseException as exc:
            if not isinstance(exc, getattr(hook, "expected", ())):
                raise
    return log, result


def check_after(xml, parser):
    """A parser that went through anything parses like a fresh one."""
    want, got = [], []
    fresh = new_parser(xml)
    fresh.register(Target(ALL, want, lambda t: None))
    # What an interrupted text still holds is scanned once more by close.
    parser.register(None)
    assert type(parser.close()) is int
    parser.register(Target(ALL, got, lambda t: None))
    assert parser.parse(CHECK) == fresh.parse(CHECK)
    assert got == want, (got, want)


def test_one_input(data: bytes) -> None:
    if len(data) < 8:
        return
    head, s = data[:8], text(data[8:])
    xml = head[0] & 1
    ending = (head[0] >> 1) & 3
    mask = (head[1] | head[2] << 8) & ALL
    pieces = [s] if ending == 2 else pieces_of(s, head[3])
    if not head[0] & 8:
        whole_log, whole_result = run_text(xml, mask, [s], 1, lambda t: None)
        log, result = run_text(xml, mask, pieces, ending, lambda t: None)
        assert merged(log) == merged(whole_log), (xml, mask, pieces)
        assert result == whole_result, (xml, mask, pieces, result, whole_result)
        return
    hook = Hostile([(b >> 4, b & 15) for b in head[4:8]])
    run_text(xml, mask, pieces, ending, hook)
    survivor = hook.outside.get("parser")
    hook.outside.clear()
    if survivor is not None:
        check_after(xml, survivor)


if __name__ == "__main__":
    run(test_one_input)

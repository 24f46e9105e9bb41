"""Every entry point called many times over each of its paths leaves no
memory behind and no reference to its arguments, its target or its
callbacks.

make test runs a few thousand calls per path; make leaks multiplies that by
CORVANE_LEAK_SCALE (thirty: about ninety thousand calls per path) and
also watches the resident set size, which sees the parser's held text and
anything else allocated outside the interpreter's allocator."""

import ctypes
import gc
import os
import sys
import tracemalloc

import pytest

from events import BINDING_ORDER
from exported import UNIT_TYPES, declaration_scanners

SCALE = int(os.environ.get("CORVANE_LEAK_SCALE", "1"))
CALLS = 1000 * SCALE
# With the interpreter's small-object allocator bypassed (the sanitizer and
# valgrind runs do that), blocks that its caches keep grow for many thousands
# of calls before they level off, so only the reference counts are compared
# there; those runs find the modules' own leaks themselves.
TRACED = os.environ.get("PYTHONMALLOC", "") not in ("malloc", "malloc_debug")
# The smallest object is 16 bytes; anything it keeps alive adds more. The
# interpreter's free lists and caches may still grow by a few kilobytes, in
# steps, whatever the number of calls.
PER_CALL_SLACK = 8
FLOOR = 8 << 10
RSS_SLACK = 4 << 20


class Boom(Exception):
    pass


class StrSub(str):
    pass


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def call(fn, *args, raises=None):
    """One step: fn(*args), which must raise `raises` when that is given."""
    if raises is None:
        return lambda: fn(*args)

    def step():
        try:
            fn(*args)
        except raises:
            return
        raise AssertionError(f"{fn.__name__}{args!r} did not raise {raises.__name__}")

    return step


def traced_growth(step, calls):
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        for _ in range(calls):
            step()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()


def assert_flat(step, watched=(), calls=CALLS):
    """Runs step many times after a warm-up; the memory traced by
    tracemalloc does not grow with the number of calls, nor do the reference
    counts of the watched objects.

    Each round may leave a constant amount behind while the interpreter's
    caches and the collector's bookkeeping settle, so a round of `calls`
    calls is compared with one of twice as many: a leak grows with the calls.
    A round that still grows is tried again, since a leak grows in every
    round."""
    for _ in range(calls // 10 + 10):
        step()
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    resident = rss() if sys.platform.startswith("linux") else 0
    if not TRACED:
        for _ in range(calls):
            step()
        assert [sys.getrefcount(o) for o in watched] == refs, "reference counts grew"
        return
    for _ in range(3):
        extra = traced_growth(step, 2 * calls) - traced_growth(step, calls)
        assert [sys.getrefcount(o) for o in watched] == refs, "reference counts grew"
        if extra < max(calls * PER_CALL_SLACK, FLOOR):
            break
    else:
        raise AssertionError(f"{extra} bytes more traced for {calls} more calls")
    if SCALE >= 10 and sys.platform.startswith("linux"):
        assert rss() - resident < RSS_SLACK, f"resident set grew by {rss() - resident} bytes"


# --- _lumet --------------------------------------------------------------


@pytest.mark.parametrize(
    "args, raises",
    [
        ((56, 15), None),
        ((7, 7), None),
        ((-1, 511), None),
        (("x", 1), TypeError),
        ((2**31, 0), OverflowError),
        ((1,), TypeError),
    ],
)
def test_switchcolor(args, raises):
    from _lumet import switchcolor

    assert_flat(call(switchcolor, *args, raises=raises), args)


# --- _vexil --------------------------------------------------------------

DETECT_CASES = [
    ((b"<?xml version='1.0' encoding='latin-1'?>",), None),
    ((bytearray(b"\xef\xbb\xbf<a/>"),), None),
    ((memoryview(b"<?xml "),), None),
    ((b"", 1), None),
    ((b"\x00\x00\xfe", True), None),
    ((b"<?xml version=1.0?>",), ValueError),
    ((b"<?xml encoding='\xe9'?>",), UnicodeDecodeError),
    (("<?xml encoding='koi8-r'?>",), None),
    ((StrSub("<?xml ?>"),), None),
    (("<?xml encoding='\U0001f600'",), None),
    (("<?xml v\xe9rsion='1'?>",), ValueError),
    ((12,), TypeError),
    ((b"x", 2**40), OverflowError),
    ((), TypeError),
]


@pytest.mark.parametrize("args, raises", DETECT_CASES)
def test_detectencoding(args, raises):
    import _vexil as vexil

    assert_flat(call(vexil.detectencoding, *args, raises=raises), args)
    for arg in args:
        if isinstance(arg, bytearray):
            arg.append(0)  # refused while a view of it is still held


FIX_CASES = [
    (("<?xml encoding='latin-1'?><a/>", "utf-8"), None),
    (("<?xml encoding='\U0001f600'?>\u20ac", "\u0100"), None),
    ((StrSub("<?xml encoding='x'?>"), StrSub("\xe9")), None),
    (("<a/>", "utf-8"), None),
    (("<?xml version='1.0'", "x"), None),
    (("<?xml version='1.0'", "x", 1), None),
    (("<?xml version=1.0?>", "x", 1), ValueError),
    (("<?xml encoding=''?>", "x"), ValueError),
    ((b"<a/>", "x"), TypeError),
    (("<a/>", "x", 2**31), OverflowError),
    (("<a/>",), TypeError),
]


@pytest.mark.parametrize("args, raises", FIX_CASES)
def test_fixencoding(args, raises):
    import _vexil as vexil

    # Texts that come back unchanged come back as the same object; the
    # reference counts show that each such return is released.
    assert_flat(call(vexil.fixencoding, *args, raises=raises), args)


@pytest.mark.parametrize("width, ctype", sorted(UNIT_TYPES.items()))
@pytest.mark.parametrize(
    "source, raises", [("<?xml version='1' encoding='x'?>", None), ("<?xml version=1?>", ValueError)]
)
def test_declaration_scanners(width, ctype, source, raises):
    import _vexil as vexil

    scanner = declaration_scanners(vexil)[width]
    units = (ctype * len(source))(*map(ord, source))
    start = ctypes.addressof(units)
    out = [ctypes.c_void_p(), ctypes.c_void_p()]
    args = (ctypes.c_void_p(start), ctypes.c_void_p(start + len(source) * width), *map(ctypes.byref, out))
    assert_flat(call(scanner, *args, raises=raises), calls=CALLS // 4)


# --- corvane -------------------------------------------------------------

# Reaches every handler in both modes, every reference form (resolved, by
# name, by number, wrapped, beyond the code points), text of all widths.
DOCUMENT = (
    "<?xml version='1.0'?><!DOCTYPE r [<!ENTITY e 'v'> %p; ]>"
    "<r a='1&amp;2&#65;&#x42;&bad;' b=\"x\" c><!-- c --><![CDATA[d]]>"
    "t&lt;&#66;&#x43;&name;&#4294967295;&#1114112;<e/><b/bold/.</r foo>"
    "<A HREF=X>&;\u20ac\U0001f600<!-->.<![]]>."
)


def quiet_class(raising=None, exc=Boom):
    def handler(name):
        if name == raising:

            def fail(self, *args):
                raise exc(name)

            return fail
        return lambda self, *args: None

    return type("Target", (), {name: handler(name) for name in BINDING_ORDER})


Quiet = quiet_class()


@pytest.fixture(params=["xml", "sgml"])
def make(request):
    import corvane

    return corvane.XMLParser if request.param == "xml" else corvane.SGMLParser


def test_factories_and_deallocation_with_held_text(make):
    def step():
        parser = make()
        parser.register(Quiet())
        parser.feed("<a b='")  # held text freed with the parser

    assert_flat(step)


def test_register_replaces_every_binding(make):
    parser = make()

    class Raising:
        @property
        def handle_text(self):
            raise Boom()

        handle_comment = None

    targets = [Quiet(), None, Raising(), type("Partial", (), {"handle_text": len})(), parser]

    def step():
        for target in targets:
            parser.register(target)

    assert_flat(step, [*targets, Quiet.handle_text, len], calls=CALLS // 4)


@pytest.mark.parametrize("how", ["feed", "pieces", "parse"])
def test_feeding_every_construct(make, how):
    parser = make()
    target = Quiet()
    parser.register(target)
    pieces = [DOCUMENT[i : i + 7] for i in range(0, len(DOCUMENT), 7)]

    def step():
        if how == "feed":
            parser.feed(DOCUMENT)
        elif how == "pieces":
            for piece in pieces:
                parser.feed(piece)
            parser.close()
        else:
            parser.parse(DOCUMENT)

    assert_flat(step, [parser, target, DOCUMENT, *pieces], calls=CALLS // 4)


@pytest.mark.parametrize(
    "name, exc", [(name, (Boom, KeyboardInterrupt)[i % 2]) for i, name in enumerate(BINDING_ORDER)]
)
def test_callback_that_raises(make, name, exc):
    parser = make()
    target = quiet_class(raising=name, exc=exc)()

    def step():
        parser.register(target)
        try:
            parser.feed(DOCUMENT)
        except exc:
            pass
        parser.register(None)
        parser.close()

    assert_flat(step, [parser, target, DOCUMENT], calls=CALLS // 8)


def test_callback_that_is_not_callable(make):
    parser = make()
    target = type("Target", (), {"handle_text": None, "handle_comment": 3})()

    def step():
        parser.register(target)
        try:
            parser.parse("x<!--c-->.")
        except TypeError:
            pass
        parser.register(None)
        parser.close()

    assert_flat(step, [parser, target], calls=CALLS // 4)


def test_recursive_feed_refused(make):
    parser = make()

    class Target:
        def handle_text(self, text):
            for method, args in (("feed", (text,)), ("close", ()), ("parse", (text,))):
                try:
                    getattr(parser, method)(*args)
                except AssertionError:
                    pass

    target = Target()
    parser.register(target)
    text = "abc<a>def"
    assert_flat(call(parser.parse, text), [parser, target, text])


@pytest.mark.parametrize("args", [(b"x",), (1,), (), ("a", "b")])
def test_bad_arguments(make, args):
    parser = make()
    assert_flat(call(parser.feed, *args, raises=TypeError), [parser, *args])


def test_cycles_with_the_target_are_collected(make):
    def step():
        target = Quiet()
        target.parser = make()
        target.parser.register(target)
        target.parser.feed("<a")

    # The collector runs by itself as the cycles pile up.
    assert_flat(step, calls=CALLS // 2)


# --- _sheaf ----------------------------------------------------------------

SHEAF_DOCUMENT = (
    "<?xml version='1.0'?><!DOCTYPE r [<!ATTLIST r d CDATA 'x' t NMTOKENS #IMPLIED>"
    "<!ENTITY e 'v'>]><r xmlns='u' xmlns:p='w' t=' a  b '>text &amp; &e; &nope;"
    "<p:a p:k='1\n2' k='&q;'>x<![CDATA[y]]></p:a><!--c--><?pi d?><br/></r></r>tail"
)


@pytest.mark.parametrize("how", ["events", "tree", "counting"])
@pytest.mark.parametrize("xml", [True, False], ids=["xml", "sgml"])
def test_collector_over_every_path(how, xml):
    import xml.etree.ElementTree as ET

    import corvane
    import _sheaf as sheaf

    entities = {"q": "Q"}
    pieces = [SHEAF_DOCUMENT[i : i + 5] for i in range(0, len(SHEAF_DOCUMENT), 5)]

    def step():
        declared = {}
        options = dict(xml=xml, entities=entities, namespaces=True, normalise=xml)
        if how == "tree":
            options.update(
                builder=ET.TreeBuilder(insert_comments=True, insert_pis=True),
                comments=True,
                pis=True,
                report_start=True,
                report_end=True,
                voids=frozenset({"br"}),
                declarations=declared.setdefault,
                defaults={"r": [("d", "x")]},
                tokenized={"r": {"t"}},
            )
        else:
            options.update(text_limit=3, counting=how == "counting")
        collector = sheaf.Collector(**options)
        parser = corvane.XMLParser() if xml else corvane.SGMLParser()
        parser.register(collector)
        for piece in pieces:
            parser.feed(piece)
            collector.take()
        collector.mark()
        parser.feed("\uffff")
        collector.unmark()
        parser.close()
        collector.finish()
        collector.take()
        if how == "counting":
            collector.counts()

    assert_flat(step, [entities, *pieces], calls=CALLS // 8)


def test_collector_refusals():
    import _sheaf as sheaf

    collector = sheaf.Collector()
    steps = [
        call(collector.handle_text, 1, raises=TypeError),
        call(collector.handle_proc, "a", raises=TypeError),
        call(collector.unmark, raises=AssertionError),
        call(lambda: sheaf.Collector(entities=[]), raises=TypeError),
        call(lambda: sheaf.Collector(text_limit=-1), raises=ValueError),
        call(collector.counts, raises=ValueError),
        call(lambda: sheaf.Collector(counting=True, builder=object()), raises=ValueError),
    ]

    def step():
        for each in steps:
            each()

    assert_flat(step, [collector], calls=CALLS // 4)


def test_collector_cycles_are_collected():
    import xml.etree.ElementTree as ET

    import _sheaf as sheaf

    def step():
        box = []
        collector = sheaf.Collector(builder=ET.TreeBuilder(), declarations=box.append)
        box.append(collector)

    assert_flat(step, calls=CALLS // 2)

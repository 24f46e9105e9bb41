"""corvane_markup's events: what each construct becomes, the end of the
input, the push form, and the same events whatever the chunking, the
encoding or the collector (the native one against its plain twin)."""

import gzip
import pickle
import random
import xml.etree.ElementTree as ET

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import corvane_markup as cm
from corvane_markup.events import MAX_CONSTRUCT, _Feeder  # noqa: E402
from markup_twin import ModelCollector  # noqa: E402


def E(kind, name="", value=None):
    return (kind, name, value)


def push(text, mode="xml", pieces=(), **options):
    """Events of text fed in the given cuts, and the error that ended it."""
    parser = cm.EventParser(mode, **options)
    cuts = [0, *pieces, len(text)]
    error = None
    try:
        for a, b in zip(cuts, cuts[1:]):
            parser.feed(text[a:b])
        parser.close()
    except cm.MarkupError as exc:
        error = exc
    return list(parser.read_events()), error


CASES = [
    # start tags, attributes, references
    (
        "xml",
        "<a x=\"1\" y='2' z>t</a>",
        [E("start", "a", [("x", "1"), ("y", "2"), ("z", "")]), E("text", value="t"), E("end", "a")],
    ),
    ("xml", "<a v='x&amp;y&#65;&foo;z'/>", [E("start", "a", [("v", "x&yA&foo;z")]), E("end", "a")]),
    ("xml", "a&amp;b&#x41;&foo;c", [E("text", value="a&bA"), E("entity", "foo"), E("text", value="c")]),
    ("sgml", "<A HREF=x Selected>", [E("start", "a", [("href", "x"), ("selected", "Selected")])]),
    # the other constructs
    (
        "xml",
        "<?pi  data?><!--c--><![CDATA[<x>]]><!DOCTYPE d>",
        [
            E("pi", "pi", "data"),
            E("comment", value="c"),
            E("cdata", value="<x>"),
            E("declaration", value="DOCTYPE d"),
        ],
    ),
    (
        "xml",
        "<!DOCTYPE r [<!ENTITY e 'v'> %p; ]>",
        [
            E("declaration", value="DOCTYPE r "),
            E("declaration", value="ENTITY e 'v'"),
            E("text", value=" "),
            E("declaration", value="p"),
            E("text", value=" "),
            E("declaration", value=""),
            E("text", value=">"),
        ],
    ),
    ("sgml", "<b/bold/.", [E("start", "b", []), E("text", value="bold"), E("end", ""), E("text", value=".")]),
    # XML's line ends and attribute white space
    (
        "xml",
        "a\r\nb\rc<a v='1\r\n2\t3'/>",
        [E("text", value="a\nb\nc"), E("start", "a", [("v", "1 2 3")]), E("end", "a")],
    ),
    ("sgml", "a\r\nb<a v='1\n2'>", [E("text", value="a\r\nb"), E("start", "a", [("v", "1\n2")])]),
    # what the very end of the input completes
    (
        "xml",
        "<a/>x<!-- c -->",
        [E("start", "a", []), E("end", "a"), E("text", value="x"), E("comment", value=" c ")],
    ),
    ("xml", "x<![CDATA[y]]>", [E("text", value="x"), E("cdata", value="y")]),
    ("sgml", "x<br/>", [E("text", value="x"), E("start", "br", []), E("end", "br")]),
    ("sgml", "<b/x/", [E("start", "b", []), E("text", value="x"), E("end", "")]),
    (
        "xml",
        "<!DOCTYPE r [<!ENTITY e 'v'>]",
        [E("declaration", value="DOCTYPE r "), E("declaration", value="ENTITY e 'v'"), E("declaration", value="")],
    ),
    ("xml", "x &amp", [E("text", value="x &")]),
    ("xml", "x &foo", [E("text", value="x "), E("entity", "foo")]),
    ("xml", "x &", [E("text", value="x &")]),
    ("xml", "x \uffff", [E("text", value="x \uffff")]),
    ("xml", "", []),
]


@pytest.mark.parametrize("mode, text, expected", CASES, ids=[c[1][:30] for c in CASES])
def test_events(mode, text, expected):
    assert push(text, mode) == (expected, None)
    # Cut anywhere, the same events.
    for cut in range(1, len(text)):
        assert push(text, mode, [cut]) == (expected, None), cut


@pytest.mark.parametrize(
    "text, unfinished, offset",
    [
        ("<a>x <!-- never closed", "<!-- never closed", 5),
        ("<a>x <b c='1", "<b c='1", 5),
        ("<a>x <![CDATA[y]]", "<![CDATA[y]]", 5),
        ("x\r\n<?pi", "<?pi", 2),
    ],
)
def test_an_unfinished_construct_is_an_error_after_every_event_before_it(text, unfinished, offset):
    events, error = push(text)
    assert isinstance(error, cm.UnfinishedError)
    assert (error.text, error.offset) == (unfinished, offset)
    assert events == push(text[: len(text) - len(unfinished)])[0]
    with pytest.raises(cm.UnfinishedError):
        list(cm.events(text.encode()))


def test_text_is_cut_only_at_the_limit():
    text = "<a>" + "0123456789" * 3 + "&amp;x</a>"
    events, _ = push(text, text_limit=7)
    runs = [e.value for e in events if e.kind == "text"]
    assert runs == ["0123456", "7890123", "4567890", "1234567", "89&x"]
    assert push(text, pieces=range(1, len(text), 3), text_limit=7)[0] == events


def test_entities_and_namespaces():
    events, _ = push("<r>&nbsp;&eacute;&nope;</r>", "sgml", entities=cm.HTML_ENTITIES)
    assert events == [E("start", "r", []), E("text", value="\xa0é"), E("entity", "nope"), E("end", "r")]
    events, _ = push(
        "<r xmlns='u' xmlns:p='v'><p:x p:a='1' b='2' xml:lang='en'/><y xmlns=''/></r>", namespaces=True
    )
    assert events == [
        E("start", "{u}r", []),
        E("start", "{v}x", [("{v}a", "1"), ("b", "2"), ("{http://www.w3.org/XML/1998/namespace}lang", "en")]),
        E("end", "{v}x"),
        E("start", "y", []),
        E("end", "y"),
        E("end", "{u}r"),
    ]
    # Undeclared prefixes stay as written.
    assert push("<q:x/>", namespaces=True)[0] == [E("start", "q:x", []), E("end", "q:x")]


def test_events_are_named_picklable_tuples():
    event = push("<a b='c'/>")[0][0]
    assert (event.kind, event.name, event.value) == ("start", "a", [("b", "c")])
    assert pickle.loads(pickle.dumps(event)) == event
    assert type(event) is cm.Event


def test_push_form():
    parser = cm.EventParser()
    assert parser.mode is None
    parser.feed(b"<?xml version='1.0'?>")
    parser.feed(b"<doc>" + b" " * 2000 + b"</d")
    assert parser.mode == "xml"
    assert [e.kind for e in parser.read_events()] == ["pi", "start"]
    parser.feed(b"oc>")
    with pytest.raises(TypeError):
        parser.feed("text")
    parser.close()
    parser.close()
    assert [e.kind for e in parser.read_events()] == ["text", "end"]
    with pytest.raises(cm.MarkupError, match="closed"):
        parser.feed(b"more")
    # Without a mode, the first text chooses one.
    sgml = cm.EventParser()
    sgml.feed("<!DOCTYPE html><HTML><BODY>")
    sgml.close()
    assert sgml.mode == "sgml"
    assert [e.name for e in sgml.read_events()][1:] == ["html", "body"]


def test_bad_input_ends_the_events_with_everything_before_it():
    data = b"<a>fine \xff and</a>"
    got = []
    with pytest.raises(cm.DecodingError) as caught:
        for event in cm.events(data):
            got.append(event)
    assert caught.value.offset == data.index(b"\xff")
    assert got == [E("start", "a", []), E("text", value="fine ")]
    # A piece that breaks a construct off is not parsed on.
    parser = cm.EventParser("xml")
    parser.feed(b"<a>" + b"x" * 2000 + b"</a><b")
    with pytest.raises(cm.DecodingError):
        parser.feed(b"\xff>")
    assert [e.kind for e in parser.read_events()] == ["start", "text", "end"]
    with pytest.raises(cm.DecodingError):
        parser.close()
    # A truncated gzip stream: the text read before the cut is reported.
    packed = gzip.compress(b"<a>" + b"word " * 50000 + b"</a>")
    got = []
    with pytest.raises(cm.DecodingError, match="gzip stream ends early"):
        for event in cm.events(packed[: len(packed) // 2]):
            got.append(event)
    assert got[0] == E("start", "a", []) and {e.kind for e in got[1:]} == {"text"}
    assert set("".join(e.value for e in got[1:]).split()) == {"word"}


def test_an_interrupted_piece_ends_the_input():
    parser = cm.EventParser("xml")
    parser.feed("<a>x")
    # A target that fails in the middle of a piece, as an interrupt would.
    parser._pipeline._feeder.parser.register(type("T", (), {"handle_endtag": None})())
    with pytest.raises(TypeError):
        parser.feed("</a>")
    with pytest.raises(cm.MarkupError, match="reading stopped at TypeError"):
        parser.feed("more")


def test_a_construct_held_too_long_is_an_error():
    events, error = push("x<!--" + "-" * 100 + "-->", pieces=[20, 40, 60, 80], max_construct=50)
    assert isinstance(error, cm.MarkupError) and "still open" in str(error)
    assert events == [E("text", value="x")]


def test_references_beyond_unicode_stay_as_written():
    events, error = push("<a v='x&#1114112;y'>y&#1114112;z</a>")
    assert error is None
    assert events == [
        E("start", "a", [("v", "x&#1114112;y")]),
        E("text", value="y"),
        E("entity", "#1114112"),
        E("text", value="z"),
        E("end", "a"),
    ]


def test_the_collector_refuses_what_it_cannot_take():
    import _sheaf

    collector = _sheaf.Collector()
    with pytest.raises(TypeError):
        collector.handle_text(b"bytes")
    with pytest.raises(TypeError):
        collector.handle_proc("only one")
    with pytest.raises(TypeError):
        _sheaf.Collector(entities=[("a", "b")])
    with pytest.raises(TypeError, match="expected a corvane parser"):
        collector.follow(ModelCollector())
    with pytest.raises(ValueError):
        cm.EventParser(text_limit=0)
    # Code that a tree's builder runs cannot re-enter the collector.
    box = []
    collector = _sheaf.Collector(builder=ET.TreeBuilder(), declarations=lambda text: box[0].take())
    box.append(collector)
    import corvane

    parser = corvane.XMLParser()
    parser.register(collector)
    with pytest.raises(RuntimeError, match="busy"):
        parser.feed("<!DOCTYPE r [<!ENTITY e 'v'>]><r/>")


# -- the same events, however the input comes ----------------------------------

FRAGMENTS = [
    "<a>",
    "</a>",
    "<b x='1' y=\"&amp;2\">",
    "</b>",
    "<e/>",
    "&amp;",
    "&lt;",
    "&#65;",
    "&#x10348;",
    "&foo;",
    "<!-- c -->",
    "<![CDATA[d]]>",
    "<?pi data?>",
    "\r\n",
    "\n",
    "\r",
    " ",
    "<c v='a\tb'>",
]
TAILS = ["", "<!-- end -->", "<![CDATA[e]]>", "&amp", "&", "<!-- open", "<b v='"]

# Each encoding with the characters it can hold.
ENCODINGS = {
    "utf-8": "aé€𐍈",
    "utf-16": "aé€𐍈",
    "utf-32-be": "aé€",
    "latin-1": "aéü",
    "cp500": "aéü",
    "koi8-r": "aжи",
    "shift_jis": "aあ漢",
}


def model_events(text, mode, text_limit):
    collector = ModelCollector(xml=mode == "xml", text_limit=text_limit, normalise=mode == "xml")
    feeder = _Feeder(mode, collector, "", True, MAX_CONSTRUCT)
    error = None
    try:
        feeder.feed(text)
        feeder.close()
    except cm.MarkupError as exc:
        error = exc
    return collector.take(), type(error)


@st.composite
def documents(draw):
    encoding = draw(st.sampled_from(sorted(ENCODINGS)))
    words = st.text(alphabet=ENCODINGS[encoding], min_size=1, max_size=5)
    parts = draw(st.lists(st.one_of(st.sampled_from(FRAGMENTS), words), max_size=25))
    tail = draw(st.sampled_from(TAILS))
    return encoding, "".join(parts) + tail


@settings(max_examples=150, deadline=None)
@given(documents(), st.integers(0, 2**32), st.sampled_from([0, 1, 3]))
def test_native_events_match_the_model_whatever_the_chunking(document, seed, limit):
    encoding, body = document
    text = f"<?xml version='1.0' encoding='{encoding}'?><r>{body}"
    expected = model_events(text.replace(f"encoding='{encoding}'", "encoding='utf-8'"), "xml", limit)
    data = text.encode(encoding)
    rng = random.Random(seed)
    cuts = sorted(rng.sample(range(1, len(data)), min(len(data) - 1, rng.randint(0, 8))))
    parser = cm.EventParser(text_limit=limit or cm.TEXT_LIMIT)
    error = None
    try:
        for a, b in zip([0, *cuts], [*cuts, len(data)]):
            parser.feed(data[a:b])
        parser.close()
    except cm.MarkupError as exc:
        error = exc
    events = list(parser.read_events())
    # The declaration names the encoding; the rest must be the same.
    assert events[0] == E("pi", "xml", f"version='1.0' encoding='{encoding}'")
    assert (events[1:], type(error)) == (expected[0][1:], expected[1])


@settings(max_examples=100, deadline=None)
@given(
    st.lists(
        st.sampled_from(
            ["<p>", "</P>", "<BR/>", "<br>", "<A HREF=x>", "</a>", "t", "&amp;", "<b/x/", "<!-- c -->", "\r\n"]
        ),
        max_size=20,
    ),
    st.lists(st.integers(1, 200), max_size=5),
)
def test_sgml_events_match_the_model(parts, cuts):
    text = "".join(parts)
    cuts = sorted({c for c in cuts if c < len(text)})
    events, error = push(text, "sgml", cuts)
    expected, expected_error = model_events(text, "sgml", 0)
    assert (events, type(error) if error else type(None)) == (expected, expected_error)


def tally(events):
    kinds, elements = {}, {}
    for kind, name, _ in events:
        kinds[kind] = kinds.get(kind, 0) + 1
        if kind == "start":
            elements[name] = elements.get(name, 0) + 1
    return kinds, elements


@pytest.mark.parametrize(
    "mode, text, options",
    [
        *((mode, text, {}) for mode, text, _ in CASES),
        ("xml", "<a>" + "0123456789" * 3 + "&amp;x</a>", {"text_limit": 7}),
        ("sgml", "<r>&nbsp;&eacute;&nope;<p a=&nope;>", {"entities": cm.HTML_ENTITIES}),
        ("xml", "<r xmlns='u' xmlns:p='v'><p:x p:a='1'/><y xmlns=''/></r>", {"namespaces": True}),
    ],
    ids=lambda v: v[:30] if isinstance(v, str) else None,
)
def test_counting_gives_the_counts_of_the_events(mode, text, options):
    events, error = push(text, mode, **options)
    parser = cm.EventParser(mode, counting=True, **options)
    parser.feed(text[: len(text) // 2])
    parser.feed(text[len(text) // 2 :])
    try:
        parser.close()
    except cm.MarkupError:
        pass
    assert list(parser.read_events()) == []
    assert parser.counts() == tally(events)


@settings(max_examples=100, deadline=None)
@given(documents(), st.sampled_from(["xml", "sgml"]), st.sampled_from([None, 1, 3]), st.integers(0, 2**32))
def test_counts_are_those_of_the_events_however_the_text_comes(document, mode, limit, seed):
    text = "<r>" + document[1]
    rng = random.Random(seed)
    cuts = sorted(rng.sample(range(1, len(text)), min(len(text) - 1, rng.randint(0, 8))))
    options = {} if limit is None else {"text_limit": limit}
    events, _ = push(text, mode, cuts, **options)
    parser = cm.EventParser(mode, counting=True, **options)
    try:
        for a, b in zip([0, *cuts], [*cuts, len(text)]):
            parser.feed(text[a:b])
        parser.close()
    except cm.MarkupError:
        pass
    assert parser.counts() == tally(events)


@pytest.mark.parametrize(
    "construct",
    [
        "<" + "n" * 300_000 + " a='1'>",
        "&" + "n" * 300_000 + ";",
        "&#" + "1" * 300_000 + ";",
        "<!--" + "c" * 300_000 + "-->",
    ],
)
def test_long_constructs_in_small_pieces_give_the_events_of_the_whole(construct):
    text = "x" + construct + "y"
    whole = push(text)
    assert push(text, pieces=range(1000, len(text), 1000)) == whole

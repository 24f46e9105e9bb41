"""The markup scanner: where constructs begin and end, and what each one
reports, fed whole, cut into pieces and one code point at a time. The table
runs on the native module and on its pure-Python twin alike."""

import sys

import pytest

from corvane_recording import MODES, check_case, run
from events import HANDLERS, Recorder, merged, tag, text

SGML, XML = "sgml", "xml"
EVERY = frozenset(HANDLERS)
NO_CDATA = EVERY - {"cdata"}

# Both modes unless a row names one.  Each row: mode(s), text, bound events,
# expected events, result of parse.
BOTH = (SGML, XML)
CASES = [
    # character data and its runs
    (BOTH, "a < b & c", EVERY, [text("a < b & c")], 0),
    (BOTH, "a &", EVERY, [text("a ")], 1),
    (BOTH, "a<", EVERY, [text("a")], 1),
    (BOTH, "", EVERY, [], 0),
    (BOTH, "x", frozenset(), [], 0),
    # Character data, and "<" or "&" that open nothing.
    (XML, "plain text", EVERY, [text("plain text")], 0),
    (XML, "a <\tb &\nc", EVERY, [text("a <\tb &\nc")], 0),
    (XML, "x<\u3000a>", EVERY, [text("x<\u3000a>")], 0),  # whitespace above 127
    (XML, "&\u2003x", EVERY, [text("&\u2003x")], 0),
    (XML, "a<b", EVERY, [text("a")], 2),
    (XML, "%]/", EVERY, [text("%]/")], 0),
    (SGML, "%]/", EVERY, [text("%]/")], 0),
    # references in character data
    (BOTH, "a&amp;b", {"text"}, [text("a"), text("&"), text("b")], 0),
    (BOTH, "&AMP;&foo;&;.", EVERY, [("entityref", "AMP"), ("entityref", "foo"), ("entityref", ""), text(".")], 0),
    (BOTH, "&amp;.", {"entityref"}, [("entityref", "amp")], 0),
    (BOTH, "&lt x", EVERY, [text("<"), text(" x")], 0),
    (BOTH, "&gt<a>", {"text"}, [text(">")], 0),
    (BOTH, "&#65;", EVERY, [("charref", "65")], 0),
    (BOTH, "&#65;", {"text"}, [text("A")], 0),
    (BOTH, "&#x41;&#x;&#;", {"text"}, [text("A"), text("\0"), text("\0")], 0),
    (BOTH, "&#X41;", {"text"}, [text("\0")], 0),
    (BOTH, "&#X41;", EVERY, [("charref", "X41")], 0),
    (BOTH, "&#12ab;", {"text"}, [text("\x0c")], 0),
    (BOTH, "&#xD800;", {"text"}, [text("\ud800")], 0),
    (BOTH, "&#x10FFFF;", {"text"}, [text("\U0010ffff")], 0),
    (BOTH, "&#4294967361;", {"text"}, [text("A")], 0),
    (BOTH, "&#4294967295;", {"text", "entityref"}, [("entityref", "#4294967295")], 0),
    (BOTH, "&#4294967295;", {"entityref"}, [], 0),
    # beyond U+10FFFF: unresolvable like -1
    (BOTH, "&#1114112;", {"text"}, [], 0),
    (BOTH, "&#1114112;", {"text", "entityref"}, [("entityref", "#1114112")], 0),
    (BOTH, "&#x80000000;", {"text", "entityref"}, [("entityref", "#x80000000")], 0),
    (BOTH, "&", EVERY, [], 1),
    (BOTH, "&#", EVERY, [], 2),
    (BOTH, "&ab", EVERY, [], 3),
    (BOTH, "&#1<", {"charref"}, [("charref", "1")], 1),
    # end tags, processing instructions, declarations
    (BOTH, "</a foo>", EVERY, [("endtag", "a")], 0),
    (BOTH, "</a", EVERY, [], 3),
    (BOTH, "<?xml version='1.0'?>", EVERY, [("proc", "xml", "version='1.0'")], 0),
    (XML, "<?pi  data ?>", EVERY, [("proc", "pi", "data ")], 0),
    (XML, "<?x?>", EVERY, [("proc", "x", "")], 0),
    (SGML, "<?x?>", EVERY, [("proc", "x?", "")], 0),
    (SGML, "<!DOCTYPE html>", EVERY, [("special", "doctype html")], 0),
    (XML, "<!DOCTYPE html>", EVERY, [("special", "DOCTYPE html")], 0),
    (XML, "<!ELEMENT x - - (y)>", EVERY, [("special", "ELEMENT x - - (y)")], 0),
    (SGML, "<!ELEMENT x - - (y)>", EVERY, [("special", "element x - - (y)")], 0),
    (
        XML,
        "<!DOCTYPE r [<!ENTITY e 'v'> %p; ]>",
        EVERY,
        [
            ("special", "DOCTYPE r "),
            ("special", "ENTITY e 'v'"),
            text(" "),
            ("special", "p"),
            text(" "),
            ("special", ""),
            text(">"),
        ],
        0,
    ),
    (XML, "<!DOCTYPE r [ ]", EVERY, [("special", "DOCTYPE r "), text(" ")], 1),
    (XML, "<!DOCTYPE r [%", EVERY, [("special", "DOCTYPE r ")], 1),
    (XML, "<!DOCTYPE r [% x", EVERY, [("special", "DOCTYPE r "), ("special", ""), text(" x")], 0),
    (XML, "<!DOCTYPE r '[' [x", EVERY, [("special", "DOCTYPE r '[' "), text("x")], 0),
    (XML, "<!DOCTYPE r><a>]%", EVERY, [("special", "DOCTYPE r"), *tag("a"), text("]%")], 0),
    (SGML, "<!DOCTYPE r [ ]>%", EVERY, [("special", "doctype r [ ]"), text("%")], 0),
    # Processing instructions.
    (XML, "<?pi?>", EVERY, [("proc", "pi", "")], 0),
    (XML, "<?pi   ?>", EVERY, [("proc", "pi", "")], 0),
    (XML, "<?pi  data here >", EVERY, [("proc", "pi", "data here ")], 0),
    (XML, "<?pi a/>", EVERY, tag("pi", ("a",), empty=True), 0),
    (SGML, "<?pi?>", EVERY, [("proc", "pi?", "")], 0),
    (XML, "<?", EVERY, [], 2),
    # Declarations and the document type declaration.
    (XML, "<!ELEMENT a (b)>", EVERY, [("special", "ELEMENT a (b)")], 0),
    (SGML, "<!>", EVERY, [("special", "")], 0),
    (XML, "<!", EVERY, [], 2),
    (SGML, "<!DOCTYPE r [ %p; ]>", EVERY, [("special", "doctype r [ %p; ]")], 0),
    (XML, "<!DOCTYPE r>]%x", EVERY, [("special", "DOCTYPE r"), text("]%x")], 0),
    (XML, "<!DOCTYPE r '[' >", EVERY, [("special", "DOCTYPE r '[' ")], 0),
    (
        XML,
        "<!DOCTYPE r [%p x]]",
        EVERY,
        [("special", "DOCTYPE r "), ("special", "p"), text(" x"), ("special", ""), text("]")],
        0,
    ),
    (XML, "<!DOCTYPE r [<a [>", EVERY, [("special", "DOCTYPE r "), ("special", "a "), text(">")], 0),
    (XML, "<!DOCTYPE r [%p", EVERY, [("special", "DOCTYPE r ")], 2),
    (XML, "<!DOCTYPE r []", EVERY, [("special", "DOCTYPE r ")], 1),
    (XML, "<!DOCTYPE r", EVERY, [], 11),
    (XML, "<!Doc [x", EVERY, [("special", "Doc "), text("x")], 0),
    # comments and CDATA sections need one code point after their end
    (BOTH, "<!-- c -->x", EVERY, [("comment", " c "), text("x")], 0),
    (BOTH, "<!-- c -->", EVERY, [], 10),
    (BOTH, "<!-x-->.", EVERY, [("comment", ""), text(".")], 0),
    (BOTH, "<!- c --> ", EVERY, [("comment", "c "), text(" ")], 0),
    (BOTH, "<!-->.", EVERY, [("comment", ""), text(".")], 0),
    (BOTH, "<!--->.", EVERY, [("comment", ""), text(".")], 0),
    (BOTH, "<!---->.", EVERY, [("comment", ""), text(".")], 0),
    (BOTH, "<!-->", EVERY, [], 5),
    (XML, "<![CDATA[x]]>y", EVERY, [("cdata", "x"), text("y")], 0),
    (XML, "<![CDATA[x]]>y", {"text"}, [text("x"), text("y")], 0),
    (XML, "<![CDATA[]]>y", {"text"}, [text(""), text("y")], 0),
    (XML, "<![]]>.", EVERY, [("cdata", ""), text(".")], 0),
    (XML, "<![CDATA]]>.", EVERY, [("cdata", ""), text(".")], 0),
    (XML, "<![abcdef<]]>.", EVERY, [("cdata", "<"), text(".")], 0),
    # SGML knows no CDATA sections: a declaration with an empty name, so
    # nothing in it is lower-cased.
    (SGML, "<![CDATA[x]]>y", EVERY, [("special", "[CDATA[x]]"), text("y")], 0),
    # Comments.
    (XML, "<!-- a > b -- c -->x", EVERY, [("comment", " a > b -- c "), text("x")], 0),
    (XML, "<!-x-->y", EVERY, [("comment", ""), text("y")], 0),
    (XML, "<!--", EVERY, [], 4),
    (XML, "<!-- c --", EVERY, [], 9),
    # CDATA sections.
    (XML, "<![CDATA[a<b>&c]]>y", EVERY, [("cdata", "a<b>&c"), text("y")], 0),
    (XML, "<![CDATA[]]>y", EVERY, [("cdata", ""), text("y")], 0),
    (XML, "<![ABCDE[x]]>y", EVERY, [("cdata", "x"), text("y")], 0),
    (XML, "<![CDATA[x]]>", EVERY, [], 13),
    (XML, "<![]]>", EVERY, [], 6),
    # start tags and their names
    (XML, "<a<b>", EVERY, tag("a<b"), 0),
    (SGML, "<a<b>", EVERY, [*tag("a"), *tag("b")], 0),
    (XML, "<a\u3000b>", EVERY, tag("a", ("b",)), 0),
    (BOTH, "<>", EVERY, tag(""), 0),
    (BOTH, "</>", EVERY, [("endtag", "")], 0),
    (XML, "<br/>", EVERY, tag("br", empty=True), 0),
    (SGML, "<br/>.", EVERY, [*tag("br", empty=True), text(".")], 0),
    (SGML, "<br/>", EVERY, [], 5),
    (SGML, "<br/", EVERY, [], 4),
    (XML, "<br/", EVERY, [], 4),
    (BOTH, "<a />", EVERY, tag("a", empty=True), 0),
    (BOTH, "<a b/>", {"enterstarttag", "leavestarttag", "endtag"}, tag("a", empty=True), 0),
    (BOTH, "</a/>.", {"enterstarttag", "leavestarttag", "endtag"}, tag("a", empty=True), 0),
    (SGML, "</a/>", EVERY, [], 5),
    (
        XML,
        "<?pi x/>",
        {"enterstarttag", "leavestarttag", "endtag", "enterattr"},
        [("enterstarttag", "pi"), ("enterattr", "x"), ("leavestarttag", "pi"), ("endtag", "pi")],
        0,
    ),
    (XML, "<a/>", {"leavestarttag", "endtag"}, [], 0),
    (SGML, "<b/bold/.", EVERY, [*tag("b"), text("bold"), ("endtag", ""), text(".")], 0),
    (SGML, "<b/x/", EVERY, [*tag("b"), text("x")], 1),
    (XML, "<b/bold/.", EVERY, [], 9),
    (SGML, "<A HREF=X>", EVERY, tag("a", ("HREF", ("text", "X"))), 0),
    (SGML, "<\u0130\u00c9\u2160\u00b2-.:?>", {"enterstarttag"}, [("enterstarttag", "i\u00e9\u2170\u00b2-.:?")], 0),
    # One code point each, into narrower widths too: Kelvin sign, capital sharp s, Deseret.
    (SGML, "<\u212a\u1e9e\U00010400>", {"enterstarttag"}, [("enterstarttag", "k\xdf\U00010428")], 0),
    (XML, "<A HREF=X>", EVERY, tag("A", ("HREF", ("text", "X"))), 0),
    (SGML, "<?PI/x", EVERY, [*tag("pi"), text("x")], 0),
    # Start and end tags.
    (XML, "a<b>c", EVERY, [text("a"), *tag("b"), text("c")], 0),
    (XML, "</a/>", EVERY, tag("a", empty=True), 0),
    (XML, "<br />", EVERY, tag("br", empty=True), 0),
    (XML, "<a/ >", EVERY, tag("a", ("/",)), 0),
    (XML, "<a b='/'>", EVERY, tag("a", ("b", text("/"))), 0),
    (XML, "<a b=/>", EVERY, tag("a", ("b",), empty=True), 0),
    (XML, "<a b<c>", EVERY, tag("a", ("b",)) + tag("c"), 0),
    (XML, "<a href='x>y'>", EVERY, tag("a", ("href", text("x")), ("y'",)), 0),
    (XML, "<a b='<'>", EVERY, tag("a", ("b", text("<"))), 0),
    (XML, "<a\u2003b='1'>", EVERY, tag("a", ("b", text("1"))), 0),
    (
        XML,
        "\u03a9x<\U0001f600 a='\xe9'>y",
        EVERY,
        [text("\u03a9x"), *tag("\U0001f600", ("a", text("\xe9"))), text("y")],
        0,
    ),
    (XML, "<A>", EVERY, tag("A"), 0),
    (XML, "<a", EVERY, [], 2),
    (XML, "<a b='>", EVERY, [], 7),
    (XML, "</", EVERY, [], 2),
    # SGML names: lower-cased, and what a slash after them means.
    (SGML, "<A HREF=x>", EVERY, tag("a", ("HREF", text("x"))), 0),
    (SGML, "<\xc4\u03a9>", EVERY, tag("\xe4\u03c9"), 0),
    (SGML, "</B>", EVERY, [("endtag", "b")], 0),
    (SGML, "<a.b-c:d?e>", EVERY, tag("a.b-c:d?e"), 0),
    (SGML, "<a_b>", EVERY, tag("a", ("_b", text("_b"))), 0),
    (SGML, "<br/>x", EVERY, [*tag("br", empty=True), text("x")], 0),
    (SGML, "</a/>x", EVERY, [*tag("a", empty=True), text("x")], 0),
    (SGML, "<b/bold/", EVERY, [*tag("b"), text("bold")], 1),
    (SGML, "<b/x/y/z", EVERY, [*tag("b"), text("x"), ("endtag", ""), text("y/z")], 0),
    # attributes
    (
        XML,
        "<a b=\"1\" c='2' d=3 e>",
        EVERY,
        tag("a", ("b", ("text", "1")), ("c", ("text", "2")), ("d", ("text", "3")), ("e",)),
        0,
    ),
    (
        SGML,
        "<a b=\"1\" c='2' d=3 e>",
        EVERY,
        tag("a", ("b", ("text", "1")), ("c", ("text", "2")), ("d", ("text", "3")), ("e", ("text", "e"))),
        0,
    ),
    (BOTH, '<a b="">', EVERY, tag("a", ("b",)), 0),
    (BOTH, '<a b = "x y">', EVERY, tag("a", ("b", ("text", "x y"))), 0),
    (BOTH, "<a b=  >", EVERY, tag("a", ("b",)), 0),
    (BOTH, "<a b=x&amp;y>", EVERY, tag("a", ("b", ("text", "x"), ("text", "&"), ("text", "y"))), 0),
    (BOTH, '<a b="&#65;">', EVERY, tag("a", ("b", ("text", "A"))), 0),
    (
        BOTH,
        '<a b="x&#65;y&#;">',
        EVERY,
        tag("a", ("b", ("text", "x"), ("text", "A"), ("text", "y"), ("text", "\0"))),
        0,
    ),
    (BOTH, '<a b="x&foo">', EVERY, tag("a", ("b", ("text", "x"), ("entityref", "foo"))), 0),
    (BOTH, "<a b=a&b>", EVERY, tag("a", ("b", ("text", "a"), ("entityref", "b"))), 0),
    (BOTH, "<a b=&#4294967295;>", EVERY, tag("a", ("b", ("entityref", "#4294967295"))), 0),
    (BOTH, "<a b=&#1114112;>", {"enterstarttag", "text"}, [("enterstarttag", "a")], 0),
    (BOTH, "<a b=&#1114111;>", {"enterstarttag", "text"}, [("enterstarttag", "a"), ("text", "\U0010ffff")], 0),
    (BOTH, "<a b=&#1114111;>", {"text"}, [], 0),
    (BOTH, "<a =x>", EVERY, tag("a", ("", ("text", "x"))), 0),
    (XML, '<a t="x>y">', EVERY, tag("a", ("t", ("text", "x")), ('y"',)), 0),
    (SGML, '<a t="x>y">', EVERY, tag("a", ("t", ("text", "x")), ('y"', ("text", 'y"'))), 0),
    (
        XML,
        "<a href='x>y'>",
        {"enterstarttag", "enterattr", "text"},
        [("enterstarttag", "a"), ("enterattr", "href"), ("text", "x"), ("enterattr", "y'")],
        0,
    ),
    (
        SGML,
        "<a href='x>y'>",
        {"enterstarttag", "enterattr", "text"},
        [("enterstarttag", "a"), ("enterattr", "href"), ("text", "x"), ("enterattr", "y'"), ("text", "y'")],
        0,
    ),
    (XML, "<a b='1'c>", EVERY, tag("a", ("b", ("text", "1")), ("c",)), 0),
    (SGML, "<a b='1'c>", EVERY, tag("a", ("b", ("text", "1")), ("c", ("text", "c"))), 0),
    (BOTH, '<a b="1>', EVERY, [], 8),
    (
        XML,
        "<a b c=1>",
        {"enterattr", "leaveattr", "text", "enterstarttag"},
        [
            ("enterstarttag", "a"),
            ("enterattr", "b"),
            ("leaveattr", "b"),
            ("enterattr", "c"),
            ("text", "1"),
            ("leaveattr", "c"),
        ],
        0,
    ),
    (
        SGML,
        "<a b c=1>",
        {"enterattr", "leaveattr", "text", "enterstarttag"},
        [
            ("enterstarttag", "a"),
            ("enterattr", "b"),
            ("text", "b"),
            ("leaveattr", "b"),
            ("enterattr", "c"),
            ("text", "1"),
            ("leaveattr", "c"),
        ],
        0,
    ),
]
CASES = [
    pytest.param(mode, source, bind, expected, result, id=f"{mode}:{source!r}")
    for modes, source, bind, expected, result in CASES
    for mode in ((modes,) if isinstance(modes, str) else modes)
]


@pytest.mark.parametrize("mode, source, bind, expected, result", CASES)
def test_constructs(factory, mode, source, bind, expected, result):
    check_case(mode, source, expected, result, bind, factory)


@pytest.mark.parametrize("mode, source, bind, expected, result", CASES)
def test_constructs_fed_one_code_point_at_a_time(factory, mode, source, bind, expected, result):
    parser = factory(mode == XML)
    target = Recorder(bind)
    parser.register(target)
    held = [parser.feed(c) for c in source]
    assert parser.close() == result
    assert merged(target.events) == merged(expected)
    # Whatever a call holds back is the start of a construct still open.
    assert all(0 <= n <= i + 1 for i, n in enumerate(held))


def test_cdata_goes_to_text_without_its_handler(factory):
    check_case("xml", "a<![CDATA[x]]>y", [text("a"), text("x"), text("y")], names=NO_CDATA, factory=factory)


# A closing sequence that overlaps the opening gives empty content, and the
# text after it is read on as usual.
@pytest.mark.parametrize(
    "source, kind",
    [
        ("<!-->x<b>", "comment"),
        ("<!--->x<b>", "comment"),
        ("<!---->x<b>", "comment"),
        ("<![]]>x<b>", "cdata"),
        ("<![x]]>x<b>", "cdata"),
        ("<![CDATA]]>x<b>", "cdata"),
    ],
)
def test_overlapping_close_gives_empty_content(factory, source, kind):
    check_case("xml", source, [(kind, ""), text("x"), *tag("b")], factory=factory)
    # Unbound, the construct is consumed silently.
    check_case("xml", source, [], names=(), factory=factory)


def test_nothing_bound_consumes_all_but_an_unfinished_construct(factory):
    source = "a<b c='1'>&amp;<!-- x --><?p?>y</b><c"
    check_case("xml", source, [], 2, names=(), factory=factory)


# --- Long constructs read across many calls -------------------------------
#
# A construct left incomplete at the end of a call is read on from where the
# last call stopped, not from its start; what it reports must not depend on
# where the pieces were cut, on the widths of the pieces, or on an earlier
# text that ended in the middle of a construct of the same kind.

NEAR_MISSES = "a-b--c->d]e]]f]>g'h\"i<j>k[l/m?n "
BODY = NEAR_MISSES * 300  # about ten thousand code points
UNQUOTED = "".join(c for c in BODY if c not in "<>'\"")

LONG_CASES = [
    ("xml", "<!--" + BODY.replace("-->", "") + "-->z"),
    ("sgml", "<!--" + BODY.replace("-->", "") + "-->z"),
    ("xml", "<![CDATA[" + BODY.replace("]]>", "") + "]]>z"),
    ("xml", "<a b='" + BODY.replace("'", "") + "' c=\"" + BODY.replace('"', "") + '"/>z'),
    ("sgml", "<A B='" + BODY.replace("'", "") + "'>z"),
    ("xml", "<!DOCTYPE r '" + BODY.replace("'", "") + "' [<!ENTITY e '>'> %p; ]>z"),
    ("xml", "<?pi " + UNQUOTED + "?>z"),
    ("xml", "<!ELEMENT e " + UNQUOTED + ">z"),
    ("sgml", "<!element e " + UNQUOTED + ">z"),
]


def run_in_pieces(mode, text, size):
    return run(mode, [text[i : i + size] for i in range(0, len(text), size)])


@pytest.mark.parametrize("size", [1, 7, 4096])
@pytest.mark.parametrize("mode, source", LONG_CASES)
def test_long_construct_in_pieces_reports_as_whole(mode, source, size):
    whole_events, whole_result = run(mode, [source])
    events, result = run_in_pieces(mode, source, size)
    assert (merged(events), result) == (merged(whole_events), whole_result)


@pytest.mark.parametrize("mode, source", LONG_CASES)
def test_long_construct_in_pieces_of_changing_widths(mode, source):
    # A wide code point in every other piece puts those pieces at width 4.
    pieces = [source[i : i + 500] for i in range(0, len(source), 500)]
    wide = ["\U0001f600" + p if i % 2 else p for i, p in enumerate(pieces)]
    whole_events, whole_result = run(mode, ["".join(wide)])
    events, result = run(mode, wide)
    assert (merged(events), result) == (merged(whole_events), whole_result)


@pytest.mark.parametrize(
    "opening, stop, short",
    [
        ("<!--", "-->", "<!-- x -->z"),
        ("<![CDATA[", "]]>", "<![CDATA[x]]>z"),
        ("<a b='", "'", "<a b='x'>z"),
        ('<a b="', '"', "<a b='\"'>z"),
    ],
)
def test_a_new_text_forgets_how_far_the_last_one_was_read(opening, stop, short):
    parser = MODES["xml"]()
    target = Recorder()
    parser.register(target)
    unfinished = opening + BODY.replace(stop, "")
    for i in range(0, len(unfinished), 100):
        parser.feed(unfinished[i : i + 100])
    assert parser.close() == len(unfinished)
    assert target.events == []
    assert parser.parse(short) == 0
    assert target.events == run("xml", [short])[0]


class FailsOnce(Recorder):
    """Raises at the first report, whatever it is, and records the later ones."""

    def __init__(self):
        super().__init__()
        self.failed = False
        for name in HANDLERS:
            setattr(self, "handle_" + name, self._once(getattr(self, "handle_" + name)))

    def _once(self, record):
        def handle(*args):
            if not self.failed:
                self.failed = True
                raise RuntimeError("first report")
            record(*args)

        return handle


@pytest.mark.parametrize("mode, source", LONG_CASES)
def test_a_failed_callback_after_a_long_construct_reports_it_again(mode, source):
    parser = MODES[mode]()
    target = FailsOnce()
    parser.register(target)
    # The construct is read in pieces up to its last code point, then the
    # piece that completes it makes the first report raise.
    *front, last = [source[i : i + 1000] for i in range(0, len(source), 1000)]
    for piece in front:
        parser.feed(piece)
    assert target.events == []
    with pytest.raises(RuntimeError):
        parser.feed(last)
    assert parser.close() == run(mode, [source])[1]
    assert merged(target.events) == merged(run(mode, [source])[0])


# Every string a callback receives is stored at the narrowest width that
# holds it, whatever its length and wherever its widest code point stands.
WIDEST = {
    "ascii": "\x7f",
    "latin-1": "\xff",
    "two bytes": "\uffff",
    "two bytes, half": "\u8000",
    "four bytes": "\U0010ffff",
}


@pytest.mark.parametrize("length", [2, 7, 8, 9, 16, 17, 40])
@pytest.mark.parametrize("at", [0, 1, -1])
@pytest.mark.parametrize("widest", sorted(WIDEST))
def test_reported_strings_are_canonical(length, at, widest):
    chars = ["x"] * length
    chars[at] = WIDEST[widest]
    run_text = "".join(chars)
    # Also beside a wider code point that stays outside the run.
    events, _ = run("xml", [run_text + "<a b='" + run_text + "'>\U0001f600"])
    received = [event[1] for event in events if event[0] == "text"]
    assert received == [run_text, run_text, "\U0001f600"]
    assert [sys.getsizeof(s) for s in received[:2]] == [sys.getsizeof(run_text)] * 2

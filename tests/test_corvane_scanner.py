"""The markup scanner: where constructs begin and end, and what each one
reports, fed whole and cut into pieces."""

import sys

import pytest

import corvane
from corvane_recording import MODES, check_case, run
from events import HANDLERS, Recorder, merged, tag, text

NO_CDATA = tuple(n for n in HANDLERS if n != "cdata")


CASES = [
    # Character data, and "<" or "&" that open nothing.
    ("xml", "plain text", [text("plain text")], 0),
    ("xml", "a < b & c", [text("a < b & c")], 0),
    ("xml", "a <\tb &\nc", [text("a <\tb &\nc")], 0),
    ("xml", "x<\u3000a>", [text("x<\u3000a>")], 0),  # whitespace above 127
    ("xml", "&\u2003x", [text("&\u2003x")], 0),
    ("xml", "a &", [text("a ")], 1),
    ("xml", "a<", [text("a")], 1),
    ("xml", "a<b", [text("a")], 2),
    ("xml", "%]/", [text("%]/")], 0),
    ("sgml", "%]/", [text("%]/")], 0),
    # Start and end tags.
    ("xml", "a<b>c", [text("a"), *tag("b"), text("c")], 0),
    ("xml", "<>", tag(""), 0),
    ("xml", "</>", [("endtag", "")], 0),
    ("xml", "</a foo>", [("endtag", "a")], 0),
    ("xml", "</a/>", tag("a", empty=True), 0),
    ("xml", "<br/>", tag("br", empty=True), 0),
    ("xml", "<br />", tag("br", empty=True), 0),
    ("xml", "<a/ >", tag("a", ("/",)), 0),
    ("xml", "<a b='/'>", tag("a", ("b", text("/"))), 0),
    ("xml", "<a b=/>", tag("a", ("b",), empty=True), 0),
    ("xml", "<a<b>", tag("a<b"), 0),
    ("sgml", "<a<b>", tag("a") + tag("b"), 0),
    ("xml", "<a b<c>", tag("a", ("b",)) + tag("c"), 0),
    ("xml", "<a href='x>y'>", tag("a", ("href", text("x")), ("y'",)), 0),
    ("xml", "<a b='<'>", tag("a", ("b", text("<"))), 0),
    ("xml", "<a\u2003b='1'>", tag("a", ("b", text("1"))), 0),
    ("xml", "\u03a9x<\U0001f600 a='\xe9'>y", [text("\u03a9x"), *tag("\U0001f600", ("a", text("\xe9"))), text("y")], 0),
    ("xml", "<A>", tag("A"), 0),
    ("xml", "<a", [], 2),
    ("xml", "<a b='>", [], 7),
    ("xml", "</", [], 2),
    ("xml", "</a", [], 3),
    # SGML names: lower-cased, and what a slash after them means.
    ("sgml", "<A HREF=x>", tag("a", ("HREF", text("x"))), 0),
    ("sgml", "<\xc4\u03a9>", tag("\xe4\u03c9"), 0),
    ("sgml", "</B>", [("endtag", "b")], 0),
    ("sgml", "<a.b-c:d?e>", tag("a.b-c:d?e"), 0),
    ("sgml", "<a_b>", tag("a", ("_b", text("_b"))), 0),
    ("sgml", "<br/>x", [*tag("br", empty=True), text("x")], 0),
    ("sgml", "<br/>", [], 5),
    ("sgml", "<br/", [], 4),
    ("sgml", "</a/>x", [*tag("a", empty=True), text("x")], 0),
    ("sgml", "<b/bold/.", [*tag("b"), text("bold"), ("endtag", ""), text(".")], 0),
    ("sgml", "<b/bold/", [*tag("b"), text("bold")], 1),
    ("sgml", "<b/x/y/z", [*tag("b"), text("x"), ("endtag", ""), text("y/z")], 0),
    ("xml", "<b/bold/.", [], 9),
    # Processing instructions.
    ("xml", "<?xml version='1.0'?>", [("proc", "xml", "version='1.0'")], 0),
    ("sgml", "<?xml version='1.0'?>", [("proc", "xml", "version='1.0'")], 0),
    ("xml", "<?pi?>", [("proc", "pi", "")], 0),
    ("xml", "<?pi   ?>", [("proc", "pi", "")], 0),
    ("xml", "<?pi  data here >", [("proc", "pi", "data here ")], 0),
    ("xml", "<?pi a/>", tag("pi", ("a",), empty=True), 0),
    ("sgml", "<?pi?>", [("proc", "pi?", "")], 0),
    ("xml", "<?", [], 2),
    # Declarations and the document type declaration.
    ("xml", "<!ELEMENT a (b)>", [("special", "ELEMENT a (b)")], 0),
    ("sgml", "<!DOCTYPE html>", [("special", "doctype html")], 0),
    ("sgml", "<!>", [("special", "")], 0),
    ("xml", "<!", [], 2),
    ("sgml", "<!DOCTYPE r [ %p; ]>", [("special", "doctype r [ %p; ]")], 0),
    (
        "xml",
        "<!DOCTYPE r [<!ENTITY e 'v'> %p; ]>",
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
    ("xml", "<!DOCTYPE r>]%x", [("special", "DOCTYPE r"), text("]%x")], 0),
    ("xml", "<!DOCTYPE r '[' >", [("special", "DOCTYPE r '[' ")], 0),
    ("xml", "<!DOCTYPE r [%p x]]", [("special", "DOCTYPE r "), ("special", "p"), text(" x"), ("special", ""), text("]")], 0),
    ("xml", "<!DOCTYPE r [<a [>", [("special", "DOCTYPE r "), ("special", "a "), text(">")], 0),
    ("xml", "<!DOCTYPE r [%", [("special", "DOCTYPE r ")], 1),
    ("xml", "<!DOCTYPE r [%p", [("special", "DOCTYPE r ")], 2),
    ("xml", "<!DOCTYPE r []", [("special", "DOCTYPE r ")], 1),
    ("xml", "<!DOCTYPE r", [], 11),
    ("xml", "<!Doc [x", [("special", "Doc "), text("x")], 0),
    # Comments.
    ("xml", "<!-- c -->x", [("comment", " c "), text("x")], 0),
    ("sgml", "<!-- c -->x", [("comment", " c "), text("x")], 0),
    ("xml", "<!-- c -->", [], 10),
    ("xml", "<!-- a > b -- c -->x", [("comment", " a > b -- c "), text("x")], 0),
    ("xml", "<!-x-->y", [("comment", ""), text("y")], 0),
    ("xml", "<!--", [], 4),
    ("xml", "<!-- c --", [], 9),
    # CDATA sections.
    ("xml", "<![CDATA[x]]>y", [("cdata", "x"), text("y")], 0),
    ("xml", "<![CDATA[a<b>&c]]>y", [("cdata", "a<b>&c"), text("y")], 0),
    ("xml", "<![CDATA[]]>y", [("cdata", ""), text("y")], 0),
    ("xml", "<![ABCDE[x]]>y", [("cdata", "x"), text("y")], 0),
    ("xml", "<![CDATA[x]]>", [], 13),
    # SGML knows no CDATA sections: a declaration with an empty name, so
    # nothing in it is lower-cased.
    ("sgml", "<![CDATA[x]]>y", [("special", "[CDATA[x]]"), text("y")], 0),
]


@pytest.mark.parametrize("mode, source, expected, result", CASES)
def test_constructs(mode, source, expected, result):
    check_case(mode, source, expected, result)


def test_cdata_goes_to_text_without_its_handler():
    check_case("xml", "a<![CDATA[x]]>y", [text("a"), text("x"), text("y")], names=NO_CDATA)


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
def test_overlapping_close_gives_empty_content(source, kind):
    check_case("xml", source, [(kind, ""), text("x"), *tag("b")])
    # Unbound, the construct is consumed silently.
    check_case("xml", source, [], names=())


@pytest.mark.parametrize("source", ["<!-->", "<![]]>"])
def test_overlapping_close_needs_a_code_point_after_it(source):
    check_case("xml", source, [], len(source))


def test_nothing_bound_consumes_all_but_an_unfinished_construct():
    source = "a<b c='1'>&amp;<!-- x --><?p?>y</b><c"
    check_case("xml", source, [], 2, names=())


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
    ("xml", "<a b='" + BODY.replace("'", "") + "' c=\"" + BODY.replace('"', "") + "\"/>z"),
    ("sgml", "<A B='" + BODY.replace("'", "") + "'>z"),
    ("xml", "<!DOCTYPE r '" + BODY.replace("'", "") + "' [<!ENTITY e '>'> %p; ]>z"),
    ("xml", "<?pi " + UNQUOTED + "?>z"),
    ("xml", "<!ELEMENT e " + UNQUOTED + ">z"),
    ("sgml", "<!element e " + UNQUOTED + ">z"),
]


def run_in_pieces(mode, text, size):
    return run(mode, [text[i:i + size] for i in range(0, len(text), size)])


@pytest.mark.parametrize("size", [1, 7, 4096])
@pytest.mark.parametrize("mode, source", LONG_CASES)
def test_long_construct_in_pieces_reports_as_whole(mode, source, size):
    whole_events, whole_result = run(mode, [source])
    events, result = run_in_pieces(mode, source, size)
    assert (merged(events), result) == (merged(whole_events), whole_result)


@pytest.mark.parametrize("mode, source", LONG_CASES)
def test_long_construct_in_pieces_of_changing_widths(mode, source):
    # A wide code point in every other piece puts those pieces at width 4.
    pieces = [source[i:i + 500] for i in range(0, len(source), 500)]
    wide = ["\U0001f600" + p if i % 2 else p for i, p in enumerate(pieces)]
    whole_events, whole_result = run(mode, ["".join(wide)])
    events, result = run(mode, wide)
    assert (merged(events), result) == (merged(whole_events), whole_result)


@pytest.mark.parametrize(
    "opening, stop, short",
    [("<!--", "-->", "<!-- x -->z"), ("<![CDATA[", "]]>", "<![CDATA[x]]>z"),
     ("<a b='", "'", "<a b='x'>z"), ('<a b="', '"', "<a b='\"'>z")],
)
def test_a_new_text_forgets_how_far_the_last_one_was_read(opening, stop, short):
    parser = corvane.XMLParser()
    target = Recorder()
    parser.register(target)
    unfinished = opening + BODY.replace(stop, "")
    for i in range(0, len(unfinished), 100):
        parser.feed(unfinished[i:i + 100])
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
    *front, last = [source[i:i + 1000] for i in range(0, len(source), 1000)]
    for piece in front:
        parser.feed(piece)
    assert target.events == []
    with pytest.raises(RuntimeError):
        parser.feed(last)
    assert parser.close() == run(mode, [source])[1]
    assert merged(target.events) == merged(run(mode, [source])[0])


# Every string a callback receives is stored at the narrowest width that
# holds it, whatever its length and wherever its widest code point stands.
WIDEST = {"ascii": "\x7f", "latin-1": "\xff", "two bytes": "\uffff", "two bytes, half": "\u8000",
          "four bytes": "\U0010ffff"}


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

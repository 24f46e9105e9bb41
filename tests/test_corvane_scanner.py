"""The markup scanner: where constructs begin and end, and what each one
reports, fed whole and cut into pieces."""

import pytest

from corvane_recording import HANDLERS, check_case, tag, text

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

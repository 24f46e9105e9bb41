"""Start tags: the enter, attribute and leave calls a tag turns into."""

import pytest

from corvane_recording import check_case
from events import HANDLERS, tag, text


CASES = [
    (
        "xml",
        "<a b=\"1\" c='2' d=3 e>",
        tag("a", ("b", text("1")), ("c", text("2")), ("d", text("3")), ("e",)),
    ),
    # A minimised SGML attribute has its name as its value.
    (
        "sgml",
        "<a b=\"1\" c='2' d=3 e>",
        tag("a", ("b", text("1")), ("c", text("2")), ("d", text("3")), ("e", text("e"))),
    ),
    ("sgml", "<a e f>", tag("a", ("e", text("e")), ("f", text("f")))),
    ("xml", '<a b="">', tag("a", ("b",))),
    ("xml", "<a b=''>", tag("a", ("b",))),
    ("xml", "<a b=>", tag("a", ("b",))),
    ("xml", "<a b= >", tag("a", ("b",))),
    ("xml", '<a b = "x y">', tag("a", ("b", text("x y")))),
    ("xml", "<a\tb\n=\r'x'\t>", tag("a", ("b", text("x")))),
    ("xml", "<a b=x&amp;y>", tag("a", ("b", text("x"), text("&"), text("y")))),
    ("xml", '<a b="&#65;">', tag("a", ("b", text("A")))),
    ("xml", '<a b="x&foo">', tag("a", ("b", text("x"), ("entityref", "foo")))),
    ("xml", "<a/>", tag("a", empty=True)),
    ("xml", "<a b='1'/>", tag("a", ("b", text("1")), empty=True)),
    ("xml", "<a =x>", tag("a", ("", text("x")))),
    ("xml", '<a t="x>y">', tag("a", ("t", text("x")), ('y"',))),
    ("sgml", '<a t="x>y">', tag("a", ("t", text("x")), ('y"', text('y"')))),
    # An unquoted value cut at a ">" (inside quotes to the scanner) leaves
    # the ">" to the next attribute; a quoted one passes it.
    ("xml", "<a b=x'>'>", tag("a", ("b", text("x'")), (">'",))),
    ("sgml", "<a b=x'>'>", tag("a", ("b", text("x'")), (">'", text(">'")))),
    ("sgml", "<A HREF=X>", tag("a", ("HREF", text("X")))),
    ("xml", "<a b=x c='y'd=\"z\">", tag("a", ("b", text("x")), ("c", text("y")), ("d", text("z")))),
    ("xml", "<a b='it\"s'>", tag("a", ("b", text('it"s')))),
    ("xml", '<a b="it\'s">', tag("a", ("b", text("it's")))),
    ("xml", "<a b=x'y'>", tag("a", ("b", text("x'y'")))),
    ("xml", "<a b=1 b=2>", tag("a", ("b", text("1")), ("b", text("2")))),
    ("xml", "<a b='\u3000'>", tag("a", ("b", text("\u3000")))),
    ("xml", "<a b=x\u3000c=y>", tag("a", ("b", text("x")), ("c", text("y")))),
    ("xml", "<a \u00e9=\U0001f600>", tag("a", ("\u00e9", text("\U0001f600")))),
    (
        "xml",
        "<a b='1&amp;2&#51;4&x;'>",
        tag("a", ("b", text("1"), text("&"), text("2"), text("3"), text("4"), ("entityref", "x"))),
    ),
    ("sgml", "<br/>.", [*tag("br", empty=True), text(".")]),
    ("sgml", "<a/b", [*tag("a"), text("b")]),
]


@pytest.mark.parametrize("mode, source, expected", CASES)
def test_start_tags(factory, mode, source, expected):
    check_case(mode, source, expected, factory=factory)


@pytest.mark.parametrize("mode", ["xml", "sgml"])
def test_without_enterstarttag_nothing_is_reported(factory, mode):
    names = tuple(n for n in HANDLERS if n != "enterstarttag")
    check_case(mode, "<a b='1' c>x", [text("x")], names=names, factory=factory)
    check_case(mode, "<a b='1' />x", [text("x")], names=names, factory=factory)


@pytest.mark.parametrize(
    "names, expected",
    [
        # Each call is made only when its handler is bound.
        (("enterstarttag",), [("enterstarttag", "a")]),
        (("enterstarttag", "text"), [("enterstarttag", "a"), text("1")]),
        (("enterstarttag", "endtag"), [("enterstarttag", "a"), ("endtag", "a")]),
        (
            ("enterstarttag", "leaveattr", "leavestarttag"),
            [("enterstarttag", "a"), ("leaveattr", "b"), ("leaveattr", "c"), ("leavestarttag", "a")],
        ),
    ],
)
def test_calls_follow_the_bound_handlers(factory, names, expected):
    check_case("xml", "<a b='1' c/>", expected, names=names, factory=factory)


def test_attribute_name_is_one_object_per_attribute():
    import corvane

    seen = []

    class Target:
        def handle_enterstarttag(self, name):
            pass

        def handle_enterattr(self, name):
            seen.append(("enter", name))

        def handle_text(self, value):
            seen.append(("text", value))

        def handle_leaveattr(self, name):
            seen.append(("leave", name))

    parser = corvane.SGMLParser()
    parser.register(Target())
    parser.feed("<a bb cc>")
    assert [(k, v) for k, v in seen] == [
        ("enter", "bb"),
        ("text", "bb"),
        ("leave", "bb"),
        ("enter", "cc"),
        ("text", "cc"),
        ("leave", "cc"),
    ]
    assert seen[0][1] is seen[1][1] is seen[2][1]
    assert seen[3][1] is seen[4][1] is seen[5][1]

"""fixencoding: a new name in the `encoding` pseudo-attribute of a text's XML
declaration, in a string of exactly the right length and width."""

import sys

import pytest
from hypothesis import given, settings, strategies as st

from _vexil import fixencoding
from declaration_texts import DECLARATIONS, PREFIXED
from declaration_twin import fix

SAME = object()  # the text object itself

# A compact str takes a fixed header plus its units and a terminator; the
# header of an ASCII-only string is the shorter one. Measured on strings made
# here, since a literal may carry a cached UTF-8 copy that counts too.
ASCII_HEADER = sys.getsizeof("".join(["a", "b"])) - 3
COMPACT_HEADER = sys.getsizeof("".join(["\xe9", "\xe9"])) - 3


def storage(s):
    """How s is stored: "ascii", or 1, 2 or 4 bytes per unit."""
    size = sys.getsizeof(s)
    if size == ASCII_HEADER + len(s) + 1:
        return "ascii"
    for width in (1, 2, 4):
        if size == COMPACT_HEADER + (len(s) + 1) * width:
            return width
    raise AssertionError(f"unexpected size {size} for a str of length {len(s)}")


def narrowest(s):
    top = max(map(ord, s), default=0)
    return "ascii" if top < 0x80 else 1 if top < 0x100 else 2 if top < 0x10000 else 4


CASES = [
    ("", "utf-8", 0, None),
    ("", "utf-8", 1, SAME),
    ("<?xm", "utf-8", 0, None),
    ("<?xm", "utf-8", 1, SAME),
    ("<?xml version='1.0'", "utf-8", 0, None),
    ("<?xml version='1.0'", "utf-8", 1, SAME),
    ("<?xml version='1.0' encoding='utf", "x", 0, None),
    ("<?xml version='1.0' encoding='utf", "x", 7, SAME),
    ("<?xml version='1.0' encoding='utf", "x", -1, SAME),
    # A sound declaration cut between its "?" and ">" waits for more.
    ("<?xml version='1.0'?", "utf-8", 0, None),
    ("<?xml version='1.0'?", "utf-8", 1, SAME),
    ("<a/>", "x", 0, SAME),
    ("<?XML encoding='x'?>", "x", 0, SAME),
    ("<?xml\x0cencoding='x'?>", "y", 0, SAME),
    ("\ufeff<?xml encoding='x'?>", "y", 0, SAME),
    ("<?xml version='1.0'?><a encoding='x'/>", "utf-8", 0, SAME),
    ("<?xml version='1.0'?><a encoding='x'/>", "utf-8", 1, SAME),
    ("<?xml encoding='latin-1'?><a/>", "utf-8", 0, "<?xml encoding='utf-8'?><a/>"),
    ("<?xml encoding = 'latin-1' ?>", "utf-16", 1, "<?xml encoding = 'utf-16' ?>"),
    ("<?xml\nencoding='latin-1'?>", "utf-16", 0, "<?xml\nencoding='utf-16'?>"),
    ("<?xml encoding='latin-1'", "ascii", 0, "<?xml encoding='ascii'"),
    ("<?xml encoding='a' encoding='b'?>", "c", 0, "<?xml encoding='c' encoding='b'?>"),
    ('<?xml version="1" encoding="it\'s"?>', "x", 0, '<?xml version="1" encoding="x"?>'),
    ("<?xml encoding='utf-8'?>", "", 0, "<?xml encoding=''?>"),
    ("<?xml encoding='utf-8'?>", "a'b", 0, "<?xml encoding='a'b'?>"),
    ("<?xml encoding='x'?>", "\xe9", 0, "<?xml encoding='\xe9'?>"),
    ("<?xml encoding='x'?>", "\u0100", 0, "<?xml encoding='\u0100'?>"),
    ("<?xml encoding='x'?>", "\U00010000", 0, "<?xml encoding='\U00010000'?>"),
    ("<?xml encoding='\U0001f600'?><a/>", "utf-8", 0, "<?xml encoding='utf-8'?><a/>"),
    ("<?xml encoding='\u0100'?>", "utf-8", 0, "<?xml encoding='utf-8'?>"),
    ("<?xml encoding='x'?>\xe9", "utf-8", 0, "<?xml encoding='utf-8'?>\xe9"),
    (
        "<?xml version='1.0' encoding='latin-1'?>\n<doc>\u20ac</doc>",
        "utf-8",
        0,
        "<?xml version='1.0' encoding='utf-8'?>\n<doc>\u20ac</doc>",
    ),
    # Width 2 lets the non-ASCII letter through as part of a name.
    ("<?xml vérsion='1.0' encoding='x'?>\u0100", "y", 0, "<?xml vérsion='1.0' encoding='y'?>\u0100"),
]


@pytest.mark.parametrize("text, name, final, expected", CASES)
def test_rewrites(text, name, final, expected):
    result = fixencoding(text, name, final)
    if expected is SAME:
        assert result is text
    elif expected is None:
        assert result is None
    else:
        assert type(result) is str
        assert result == expected
        assert storage(result) == narrowest(expected)


def test_rewrite_always_makes_a_new_string():
    text = "<?xml encoding='utf-8'?>"
    result = fixencoding(text, "utf-8")
    assert result == text and result is not text


# Widths of the result: the old value does not count, the name's class does.
@pytest.mark.parametrize(
    "text, name, width",
    [
        ("<?xml encoding='\U0001f600'?><a/>", "utf-8", "ascii"),
        ("<?xml encoding='\u0100'?>", "utf-8", "ascii"),
        ("<?xml encoding='\xe9'?>", "utf-8", "ascii"),
        ("<?xml version='1.0' encoding='latin-1'?>\n<doc>\u20ac</doc>", "utf-8", 2),
        ("<?xml encoding='x'?>", "\xe9", 1),
        ("<?xml encoding='x'?>", "\u0100", 2),
        ("<?xml encoding='x'?>", "\U00010000", 4),
        ("<?xml encoding='x'?>\xe9", "utf-8", 1),
        ("<?xml version='\xe9' encoding='x'?>", "utf-8", 1),
        ("<?xml encoding='\U0001f600'?>\u0100", "\xe9", 2),
    ],
)
def test_result_width(text, name, width):
    assert storage(fixencoding(text, name)) == width


# One code point that makes a string need a given width.
WIDENERS = {"ascii": "a", 1: "\xff", 2: "\uffff", 4: "\U0010ffff"}
CLASSES = list(WIDENERS)


@pytest.mark.parametrize("text_class", CLASSES)
@pytest.mark.parametrize("name_class", CLASSES)
def test_every_width_pair(text_class, name_class):
    head = "<?xml version='1.0' encoding=\""
    tail = '"?><doc>' + WIDENERS[text_class] + "</doc>"
    name = "n" + WIDENERS[name_class]
    text = head + "old\U0001f600" + tail
    result = fixencoding(text, name)
    assert result == head + name + tail
    assert storage(result) == narrowest(head + name + tail)


# The class of the result comes from a scan that goes a block at a time:
# the unit that decides it may stand anywhere around the blocks' edges, and
# four-byte units may together hold bits above the last code point.
@pytest.mark.parametrize("old", ["old", "old\U0001f600"])
@pytest.mark.parametrize("text_class", CLASSES)
@pytest.mark.parametrize("at", [0, 1, 7, 8, 15, 16, 31, 32, 33, 63, 64, 100])
def test_width_from_a_unit_anywhere_in_a_long_tail(old, text_class, at):
    head = "<?xml encoding='"
    tail = "'?>" + "x" * at + WIDENERS[text_class] + "y" * 70
    result = fixencoding(head + old + tail, "utf-8")
    assert result == head + "utf-8" + tail
    assert storage(result) == narrowest(head + "utf-8" + tail)


def test_four_byte_units_whose_bits_together_pass_the_last_code_point():
    tail = "'?>" + "\U00100000\U000fffff" * 20
    result = fixencoding("<?xml encoding='x'" + tail, "utf-8")
    assert result == "<?xml encoding='utf-8'" + tail
    assert storage(result) == 4


class Text(str):
    pass


@pytest.mark.parametrize(
    "text, name",
    [
        (Text("<a/>"), "x"),
        (Text("<?xml version='1.0'?>"), Text("x")),
        ("<?xml version='1.0'", Text("x")),
    ],
)
def test_unchanged_text_is_returned_itself(text, name):
    assert fixencoding(text, name, 1) is text


def test_subclass_instances_are_read_like_str():
    result = fixencoding(Text("<?xml encoding='a'?>\u20ac"), Text("b\xe9"))
    assert type(result) is str
    assert result == "<?xml encoding='b\xe9'?>\u20ac"
    assert storage(result) == 2


@pytest.mark.parametrize(
    "text, message",
    [
        ("<?xml version=1.0?>", "malformed XML declaration: expected quote"),
        ("<?xml encoding=''?>", "malformed XML declaration: empty pseudoattr value"),
        ("<?xml encoding:'x'?>", "malformed XML declaration: expected '='"),
        ("<?xml ?x", "malformed XML declaration: empty or malformed pseudoattr name"),
        ("<?xml vérsion='1.0' encoding='x'?>", "malformed XML declaration: expected '='"),
    ],
)
@pytest.mark.parametrize("final", [0, 1])
def test_malformed_declaration(text, message, final):
    with pytest.raises(ValueError) as excinfo:
        fixencoding(text, "utf-8", final)
    assert str(excinfo.value) == message


@pytest.mark.parametrize(
    "args, exc",
    [
        ((), TypeError),
        (("<a/>",), TypeError),
        (("<a/>", "x", 0, 0), TypeError),
        ((b"<a/>", "x"), TypeError),
        (("<a/>", b"x"), TypeError),
        (("<a/>", None), TypeError),
        (("<a/>", "x", "1"), TypeError),
        (("<a/>", "x", 1.5), TypeError),
        (("<a/>", "x", 2**31), OverflowError),
        (("<a/>", "x", -(2**31) - 1), OverflowError),
    ],
)
def test_bad_arguments(args, exc):
    with pytest.raises(exc):
        fixencoding(*args)


def test_keywords_refused():
    with pytest.raises(TypeError):
        fixencoding("<a/>", "x", final=1)


def test_growing_prefixes():
    text = "<?xml version='1.0' encoding='latin-1' standalone='yes'?><doc/>"
    rewritten = text.replace("latin-1", "utf-8")
    for end in range(len(text) + 1):
        piece = text[:end]
        result = fixencoding(piece, "utf-8")
        if end <= text.index("latin-1") + len("latin-1"):
            assert result is None, piece
            assert fixencoding(piece, "utf-8", 1) is piece
        else:
            assert result == rewritten[: end - 2]


def characters(top):
    return st.characters(min_codepoint=0, max_codepoint=top)


TOPS = {"ascii": 0x7F, 1: 0xFF, 2: 0xFFFF, 4: 0x10FFFF}


@st.composite
def declarations(draw):
    """(head, old value, tail) of a text whose first encoding value is the
    old value, with the text's width class forced by its tail."""
    quote = draw(st.sampled_from("'\""))
    space = st.text(" \t\r\n", max_size=2)
    before = draw(
        st.lists(
            st.tuples(
                st.sampled_from(["version", "standalone", "Encoding", "encodings", "x"]),
                space,
                space,
                st.sampled_from("'\""),
                st.text(characters(0x10FFFF), min_size=1, max_size=4),
            ),
            max_size=2,
        )
    )
    head = "<?xml" + draw(st.sampled_from(" \t\r\n")) + draw(space)
    for attr, gap1, gap2, q, value in before:
        value = value.replace(q, "") or "v"
        head += f"{attr}{gap1}={gap2}{q}{value}{q}" + draw(space)
    head += "encoding" + draw(space) + "=" + draw(space) + quote
    old = draw(st.text(characters(0x10FFFF), min_size=1, max_size=5)).replace(quote, "") or "o"
    text_class = draw(st.sampled_from(CLASSES))
    rest = draw(st.text(characters(TOPS[text_class]), max_size=8))
    tail = quote + rest + WIDENERS[text_class]
    return head, old, tail


@st.composite
def names(draw):
    name_class = draw(st.sampled_from(CLASSES))
    return draw(st.text(characters(TOPS[name_class]), max_size=6)) + WIDENERS[name_class]


@settings(max_examples=300, deadline=None)
@given(declarations(), names(), st.integers(-2, 2))
def test_rewrite_replaces_the_value(parts, name, final):
    head, old, tail = parts
    text = head + old + tail
    result = fixencoding(text, name, final)
    assert result == head + name + tail
    assert storage(result) == narrowest(head + name + tail)


@pytest.mark.parametrize(
    "text, final",
    [("<a/>", 0), ("<?xml ", 0), ("<?xml ", 1), ("<?xml encoding='x'", 0), ("<?xml version=1", 0)],
)
def test_arguments_keep_their_reference_counts(text, final):
    text = "".join(["", text])  # an object of the test's own
    name = "".join(["ut", "f-8"])
    before = sys.getrefcount(text), sys.getrefcount(name)
    for _ in range(50):
        try:
            fixencoding(text, name, final)
        except ValueError:
            pass
    assert (sys.getrefcount(text), sys.getrefcount(name)) == before


@settings(max_examples=300, deadline=None)
@given(PREFIXED | DECLARATIONS, names(), st.integers(-1, 1))
def test_agrees_with_scanner_model(text, name, final):
    try:
        expected = fix(text, name, final)
    except ValueError as error:
        with pytest.raises(ValueError) as excinfo:
            fixencoding(text, name, final)
        assert str(excinfo.value) == str(error)
        return
    result = fixencoding(text, name, final)
    if expected is text or expected is None:
        assert result is expected
    else:
        assert result == expected
        assert storage(result) == narrowest(expected)

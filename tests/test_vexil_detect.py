"""detectencoding: the encoding of a document from its first bytes or from
its XML declaration; and the _vexil module itself."""

import array
import codecs

import pytest
from hypothesis import given, settings, strategies as st

import _vexil
from _vexil import detectencoding
from declaration_texts import DECLARATIONS, PREFIXED
from declaration_twin import detect_bytes, detect_str

UNDECIDED = object()  # None, or "utf-8" when final is true

BYTE_CASES = [
    (b"", UNDECIDED),
    (b"\xef", UNDECIDED),
    (b"\xef\xbb", UNDECIDED),
    (b"\xef\xbb\xbf", "utf-8-sig"),
    (b"\xef\xbb\xbf<?xml version='1.0' encoding='latin-1'?>", "utf-8-sig"),
    (b"\xef\xbbA", "utf-8"),
    (b"\xff\xfe", UNDECIDED),
    (b"\xff\xfe\x00", UNDECIDED),
    (b"\xff\xfeA", "utf-16"),
    (b"\xff\xfe\x00A", "utf-16"),
    (b"\xff\xfe\x00\x00", "utf-32"),
    (b"\xfe\xff", "utf-16"),
    (b"\x00", UNDECIDED),
    (b"\x00<", "utf-16-be"),
    (b"\x00\x00", UNDECIDED),
    (b"\x00\x00\x00", UNDECIDED),
    (b"\x00\x00\xfe", UNDECIDED),
    (b"\x00\x00\xfe\xff", "utf-32"),
    (b"\x00\x00\x00<", "utf-32-be"),
    (b"\x00\x00\x00\x00", "utf-8"),
    (b"<", UNDECIDED),
    (b"<\x00", UNDECIDED),
    (b"<\x00?", UNDECIDED),
    (b"<\x00\x00", UNDECIDED),
    (b"<\x00?\x00", "utf-16-le"),
    (b"<\x00\x00\x00", "utf-32-le"),
    (b"<\x00x\x00", "utf-8"),
    (b"Lo\xa7", UNDECIDED),
    (b"Lo\xa7\x94", "cp037"),
    (b"Lo\xa7\x95", "utf-8"),
    (b"<?xm", UNDECIDED),
    (b"<?xml", UNDECIDED),
    (b"<?xml ", None),
    (b"<?xml version='1.0'", None),
    (b"<?xml version='1.0'?", None),
    (b"<?xml ?>", "utf-8"),
    (b"<?xml\r\n?>", "utf-8"),
    (b"<?xml version='1.0' encoding='latin-1'?>", "latin-1"),
    (b'<?xml\tencoding="UTF-8"', "UTF-8"),
    (b"<?xml encoding=' x '?>", " x "),
    (b"<?xml encoding='\xc3\xa9'?>", "\xe9"),
    (b"<?xml version='1.0'?><a/>", "utf-8"),
    (b"<?xmlns", "utf-8"),
    (b"<?xml\x0c", "utf-8"),
    (b"<?XML encoding='x'?>", "utf-8"),
    (b"<a/>", "utf-8"),
    (b"hello", "utf-8"),
]


def expected_answer(answer, final):
    if answer is UNDECIDED:
        return "utf-8" if final else None
    return answer


@pytest.mark.parametrize("final", [0, 1, True, -3])
@pytest.mark.parametrize("data, answer", BYTE_CASES)
def test_byte_road(data, answer, final):
    assert detectencoding(data, final) == expected_answer(answer, final)


def test_final_defaults_to_false():
    assert detectencoding(b"") is None
    assert detectencoding("<?xml") is None


STR_CASES = [
    ("", UNDECIDED),
    ("<?xml", UNDECIDED),
    ("<?xml version='1.0'", UNDECIDED),
    ("<?xml version='1.0' ?", UNDECIDED),
    ("<?xml version='1.0' encoding='koi8-r'?>", "koi8-r"),
    ("<?xml version='1.0'?>", "utf-8"),
    ("<root/>", "utf-8"),
    ("\ufeff<?xml version='1.0' encoding='koi8-r'?>", "utf-8"),
    ("<\0?\0x\0m\0l\0 \0", "utf-8"),
    ("<?xml encoding='UTF-8'", "UTF-8"),
    ("<?xml encoding=' x '", " x "),
    ("<?xml encoding='\xe9'", "\xe9"),
    ("<?xml encoding='\u20ac'", "\u20ac"),
    ("<?xml encoding='\U0001f600'", "\U0001f600"),
    ("<?xml vérsion='1.0' encoding='x'?>\u0100", "x"),
]


@pytest.mark.parametrize("final", [0, 1])
@pytest.mark.parametrize("text, answer", STR_CASES)
def test_str_road(text, answer, final):
    result = detectencoding(text, final)
    assert result == expected_answer(answer, final)
    if result is not None:
        assert type(result) is str


class Text(str):
    pass


def test_str_subclass_takes_the_str_road():
    assert detectencoding(Text("<?xml encoding='koi8-r'?>")) == "koi8-r"
    assert detectencoding(Text("\ufeff")) == "utf-8"


@pytest.mark.parametrize(
    "obj, message",
    [
        (b"<?xml version=1.0?>", "malformed XML declaration: expected quote"),
        ("<?xml version=1.0?>", "malformed XML declaration: expected quote"),
        (b"<?xml encoding=''", "malformed XML declaration: empty pseudoattr value"),
        (b"<?xml version='1.0' ?x", "malformed XML declaration: empty or malformed pseudoattr name"),
        (b"<?xml v\xc3\xa9rsion='1.0'?>", "malformed XML declaration: expected '='"),
        ("<?xml vérsion='1.0'?>", "malformed XML declaration: expected '='"),
    ],
)
@pytest.mark.parametrize("final", [0, 1])
def test_malformed_declaration(obj, message, final):
    with pytest.raises(ValueError) as excinfo:
        detectencoding(obj, final)
    assert str(excinfo.value) == message


def test_declared_name_must_be_utf8():
    with pytest.raises(UnicodeDecodeError):
        detectencoding(b"<?xml encoding='\xe9'?>")


@pytest.mark.parametrize(
    "args, exc",
    [
        ((), TypeError),
        ((b"", 0, 0), TypeError),
        ((b"", "1"), TypeError),
        ((b"", 1.0), TypeError),
        ((b"", 2**31), OverflowError),
        ((None,), TypeError),
        ((42,), TypeError),
        (([60, 63],), TypeError),
        ((memoryview(b"<?xml  ")[::2],), BufferError),
    ],
)
def test_bad_arguments(args, exc):
    with pytest.raises(exc):
        detectencoding(*args)


def test_keywords_refused():
    with pytest.raises(TypeError):
        detectencoding(b"<a/>", final=True)


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview, lambda b: memoryview(b"..." + b)[3:]])
@pytest.mark.parametrize("data, answer", [(b"\xff\xfe\x00A", "utf-16"), (b"<?xml encoding='ab'", "ab")])
def test_buffer_kinds(wrap, data, answer):
    assert detectencoding(wrap(data)) == answer


def test_buffer_of_wider_items_is_read_as_bytes():
    items = array.array("H", [0x3C00, 0x3F00])  # bytes 00 3C 00 3F on little-endian
    expected = "utf-16-be" if items.tobytes()[:2] == b"\x00<" else "utf-16-le"
    assert detectencoding(items) == expected


@pytest.mark.parametrize(
    "data",
    [
        b"<?xml encoding='x'?>",
        b"<?xml version='1.0'?>",
        b"<?xml version='1.0'",
        b"<?xml encoding=''",
        b"<?xml encoding='\xe9'",
        b"\xef\xbb\xbf",
        b"\xff\xfe",
        b"<a/>",
        b"",
    ],
)
def test_bytearray_is_released_on_every_path(data):
    buffer = bytearray(data)
    try:
        detectencoding(buffer)
    except ValueError:
        pass
    buffer.extend(b"more")  # refused while a view is still held
    buffer.clear()


def test_released_memoryview_refused():
    view = memoryview(b"<?xml ")
    view.release()
    with pytest.raises(ValueError):
        detectencoding(view)


# Documents in real encodings: (codec to encode with, document text).
def document(name, body="caf\xe9 \u0436\U0001f600"):
    return f'<?xml version="1.0" encoding="{name}"?>\n<doc>{body}</doc>\n'


UNDECLARED = "<?xml version='1.0'?>\n<doc>caf\xe9</doc>"
ROUND_TRIPS = [
    ("utf-8", document("utf-8")),
    ("utf-8", UNDECLARED),
    ("utf-8", "<doc>caf\xe9</doc>"),
    ("utf-8-sig", UNDECLARED),
    ("utf-16", document("utf-16")),
    ("utf-16", UNDECLARED),
    ("utf-16-le", document("utf-16")),
    ("utf-16-be", document("utf-16")),
    ("utf-32", document("utf-32")),
    ("utf-32-le", document("utf-32")),
    ("utf-32-be", document("utf-32")),
    ("cp037", "<?xml version='1.0'?><doc>caf\xe9</doc>"),
    ("latin-1", document("latin-1", "caf\xe9")),
    ("iso8859-15", "<?xml version='1.0' encoding='iso8859-15'?><doc>\u20ac</doc>"),
    ("koi8-r", document("koi8-r", "\u0436\u0443\u043a")),
    ("cp1251", document("cp1251", "\u0436\u0443\u043a")),
    ("shift_jis", "<?xml version='1.0' encoding='shift_jis'?><doc>\u65e5\u672c</doc>"),
    ("euc-jp", "<?xml version='1.0' encoding='euc-jp'?><doc>\u65e5\u672c</doc>"),
]


@pytest.mark.parametrize("codec, text", ROUND_TRIPS)
def test_round_trip(codec, text):
    data = text.encode(codec)
    name = detectencoding(data, True)
    assert data.decode(name) == text


@pytest.mark.parametrize(
    "data, answer",
    [
        (codecs.BOM_UTF16_BE + UNDECLARED.encode("utf-16-be"), "utf-16"),
        (codecs.BOM_UTF32_BE + UNDECLARED.encode("utf-32-be"), "utf-32"),
        (codecs.BOM_UTF16_LE + UNDECLARED.encode("utf-16-le"), "utf-16"),
        (codecs.BOM_UTF32_LE + UNDECLARED.encode("utf-32-le"), "utf-32"),
    ],
)
def test_marks_in_either_byte_order(data, answer):
    assert detectencoding(data) == answer
    assert data.decode(answer) == UNDECLARED


@pytest.mark.parametrize("codec, text", ROUND_TRIPS)
def test_growing_prefixes_never_contradict(codec, text):
    data = text.encode(codec)
    whole = detectencoding(data, True)
    decided = False
    for end in range(len(data) + 1):
        answer = detectencoding(data[:end])
        if decided:
            assert answer == whole, end
        else:
            assert answer in (None, whole), end
            decided = answer is not None
    assert decided


def outcome(fn, *args):
    try:
        return fn(*args)
    except ValueError as exc:  # UnicodeDecodeError is one too
        return type(exc), str(exc)


@settings(max_examples=200, deadline=None)
@given(
    st.sampled_from([b"", b"<?xml ", b"<?xml", b"\xff\xfe", b"\x00\x00", b"<\x00", b"Lo\xa7"]),
    st.binary(max_size=24),
    st.booleans(),
)
def test_no_bytes_break_it(head, tail, final):
    data = head + tail
    answer = outcome(detectencoding, data, final)
    if isinstance(answer, tuple):
        kind, message = answer
        assert kind is UnicodeDecodeError or message.startswith("malformed XML declaration: ")
    else:
        assert answer is None or type(answer) is str
    assert outcome(detectencoding, bytearray(data), final) == answer
    assert outcome(detectencoding, memoryview(data), final) == answer
    assert outcome(detect_bytes, data, final) == answer


@settings(max_examples=200, deadline=None)
@given(DECLARATIONS, st.booleans())
def test_str_road_agrees_with_scanner_model(text, final):
    assert outcome(detectencoding, text, final) == outcome(detect_str, text, final)


@settings(max_examples=200, deadline=None)
@given(PREFIXED, st.booleans())
def test_declaration_bytes_agree_with_scanner_model(text, final):
    data = text.encode("utf-8")
    assert outcome(detectencoding, data, final) == outcome(detect_bytes, data, final)


def test_module_definition():
    assert _vexil.__doc__ is None
    assert _vexil.__name__ == "_vexil"
    assert sorted(name for name in vars(_vexil) if not name.startswith("__")) == [
        "detectencoding",
        "fixencoding",
    ]


DOCSTRINGS = {
    "detectencoding": (
        "detectencoding(str[, final=False]) -> str or None\n\t\n"
        "\tTries to detect the XML encoding from the first few bytes of the string\n"
        "\tor the encoding declaration in the XML header. Return the name of the\n"
        "\tencoding or None, if the encoding is ambiguous."
    ),
    "fixencoding": (
        "fixencoding(str, encoding) -> str or None\n\t\n"
        "\tReplaces the encoding specification in the XML declaration at the start of the\n"
        "\tfirst argument with the encoding specified. If there's no XML declaration the\n"
        "\toriginal string is returned. If the string isn't long enough to find an encoding\n"
        "\tNone is returned."
    ),
}


@pytest.mark.parametrize("name", sorted(DOCSTRINGS))
def test_docstrings(name):
    assert getattr(_vexil, name).__doc__ == DOCSTRINGS[name]

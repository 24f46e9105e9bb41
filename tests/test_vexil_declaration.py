"""The declaration scanner as other native code sees it: the exported C
functions of the _vexil shared library, called through ctypes."""

import ctypes

import pytest
from hypothesis import given, settings

import _vexil

from declaration_texts import DECLARATIONS, PREFIXED
from declaration_twin import (
    BAD_NAME,
    EMPTY_VALUE,
    ERROR,
    FOUND,
    INCOMPLETE,
    NO_ENCODING,
    NO_EQUALS,
    NO_QUOTE,
)
from declaration_twin import scan as twin_scan
from exported import UNIT_TYPES, declaration_scanners

SCANNERS = declaration_scanners(_vexil)
WIDTHS = sorted(UNIT_TYPES)
# For the module's other exported function; PyDLL keeps the interpreter's
# lock held and raises the exception that a call leaves set.
library = ctypes.PyDLL(_vexil.__file__)


def call(units, width, start=0, end=None):
    """Scans units[start:end] in place: the code, and the out-parameters as
    indexes into units (None where the scanner left them unwritten)."""
    end = len(units) if end is None else end
    storage = (UNIT_TYPES[width] * max(len(units), 1))(*units)
    base = ctypes.addressof(storage)
    value_start, value_end = ctypes.c_void_p(None), ctypes.c_void_p(None)
    code = SCANNERS[width](
        base + start * width,
        base + end * width,
        ctypes.byref(value_start),
        ctypes.byref(value_end),
    )
    index = lambda pointer: None if pointer.value is None else (pointer.value - base) // width  # noqa: E731
    return code, index(value_start), index(value_end)


def run(units, width):
    """What the exported scanner answers, in the twin's shape."""
    try:
        code, value_start, value_end = call(units, width)
    except ValueError as exc:
        return ERROR, str(exc)
    return code, (value_start, value_end) if code == FOUND else None


def units_of(text):
    return [ord(c) for c in text]


def scan(text, width):
    """(code, value or message) for a text at the given width."""
    code, detail = run(units_of(text), width)
    return code, text[detail[0] : detail[1]] if code == FOUND else detail


# Rows that hold at every width: (text, code, value or message).
CASES = [
    ("", INCOMPLETE, None),
    ("<", INCOMPLETE, None),
    ("<?", INCOMPLETE, None),
    ("<?x", INCOMPLETE, None),
    ("<?xm", INCOMPLETE, None),
    ("<?xml", INCOMPLETE, None),
    ("<?XML version='1.0'?>", NO_ENCODING, None),
    ("<?xml?>", NO_ENCODING, None),
    ("<?xmlns", NO_ENCODING, None),
    (" <?xml ", NO_ENCODING, None),
    ("\xef\xbb\xbf<?xml encoding='x'?>", NO_ENCODING, None),
    ("<?xml\xa0encoding='x'?>", NO_ENCODING, None),
    ("<?xml\x0cencoding='x'?>", NO_ENCODING, None),
    ("<!xml", NO_ENCODING, None),
    ("<?xml\tencoding='x'", FOUND, "x"),
    ("<?xml\nencoding='x'", FOUND, "x"),
    ("<?xml\rencoding='x'", FOUND, "x"),
    ("<?xml ?>", NO_ENCODING, None),
    ("<?xml version='1.0'?>", NO_ENCODING, None),
    ("<?xml version='1.0' encoding='utf-8'?>", FOUND, "utf-8"),
    ("<?xml encoding = 'utf-8' ?>", FOUND, "utf-8"),
    ("<?xml \t\r\nencoding\n=\t'utf-8'", FOUND, "utf-8"),
    ("<?xml encoding='utf-8'", FOUND, "utf-8"),
    ("<?xml version='1.0'encoding='latin-1'?>", FOUND, "latin-1"),
    ("<?xml encoding='a' encoding='b'?>", FOUND, "a"),
    ("<?xml Encoding='x'?>", NO_ENCODING, None),
    ("<?xml encodings='x'?>", NO_ENCODING, None),
    ("<?xml encodin='x'?>", NO_ENCODING, None),
    ('<?xml encoding="it\'s"?>', FOUND, "it's"),
    ("<?xml encoding='say \"hi\"'?>", FOUND, 'say "hi"'),
    ("<?xml encoding=' x '", FOUND, " x "),
    ("<?xml version='a?>b' encoding='x'?>", FOUND, "x"),
    ("<?xml version='\n<>?' encoding='x\ny'", FOUND, "x\ny"),
    ("<?xml version='1' version='2' encoding='x'", FOUND, "x"),
    ("<?xml version", INCOMPLETE, None),
    ("<?xml version ", INCOMPLETE, None),
    ("<?xml version=", INCOMPLETE, None),
    ("<?xml version= ", INCOMPLETE, None),
    ("<?xml version='1.0", INCOMPLETE, None),
    ("<?xml version='1.0' ", INCOMPLETE, None),
    ("<?xml encoding='", INCOMPLETE, None),
    ("<?xml encoding='utf-8\"", INCOMPLETE, None),
    # A lone "?" at the end may still become "?>".
    ("<?xml version='1.0' ?", INCOMPLETE, None),
    ("<?xml version='1.0'?", INCOMPLETE, None),
    ("<?xml ?", INCOMPLETE, None),
    ("<?xml version='1.0' ?x", ERROR, BAD_NAME),
    ("<?xml ? >", ERROR, BAD_NAME),
    ("<?xml 1.0", ERROR, BAD_NAME),
    ("<?xml -x='1'", ERROR, BAD_NAME),
    ("<?xml version='1.0' >", ERROR, BAD_NAME),
    ("<?xml version:'1.0'", ERROR, NO_EQUALS),
    ("<?xml version '1.0'", ERROR, NO_EQUALS),
    ("<?xml version=1.0", ERROR, NO_QUOTE),
    ("<?xml version=`1.0`", ERROR, NO_QUOTE),
    ("<?xml version=''", ERROR, EMPTY_VALUE),
    ("<?xml encoding=''", ERROR, EMPTY_VALUE),
    ('<?xml encoding=""', ERROR, EMPTY_VALUE),
    # The first malformation stops the walk before any later encoding.
    ("<?xml version='' encoding='x'", ERROR, EMPTY_VALUE),
]


@pytest.mark.parametrize("width", WIDTHS)
@pytest.mark.parametrize("text, code, detail", CASES)
def test_scanner_cases(text, code, detail, width):
    assert scan(text, width) == (code, detail)


# A name letter outside ASCII: only the wider scanners take it for a letter.
@pytest.mark.parametrize(
    "units, width, expected",
    [
        (units_of("<?xml vérsion='1.0'?>"), 1, (ERROR, NO_EQUALS)),
        (units_of("<?xml vérsion='1.0'?>"), 2, (NO_ENCODING, None)),
        (units_of("<?xml vérsion='1.0'?>"), 4, (NO_ENCODING, None)),
        (units_of("<?xml ĀĀ='1' encoding='x'"), 2, (FOUND, "x")),
        (units_of("<?xml 𝒜='1' encoding='x'"), 4, (FOUND, "x")),
        (units_of("\ufeff<?xml encoding='x'"), 2, (NO_ENCODING, None)),
        # Digits and symbols are not letters at any width.
        (units_of("<?xml v٣='1'"), 2, (ERROR, NO_EQUALS)),
        (units_of("<?xml ×='1'"), 2, (ERROR, BAD_NAME)),
        # Nor is a unit beyond the last code point, which no str holds.
        (units_of("<?xml ") + [0x110000] + units_of("='1'"), 4, (ERROR, BAD_NAME)),
        (units_of("<?xml x") + [0x110061] + units_of("='1'"), 4, (ERROR, NO_EQUALS)),
    ],
)
def test_name_letters_by_width(units, width, expected):
    code, detail = run(units, width)
    if code == FOUND:
        detail = "".join(map(chr, units[detail[0] : detail[1]]))
    assert (code, detail) == expected


@pytest.mark.parametrize("width", WIDTHS)
@pytest.mark.parametrize(
    "text, code, value",
    [
        ("<?xml version='1.0' encoding=\"koi8-r\"?><doc/>", FOUND, "koi8-r"),
        # Written during the walk, whatever the outcome.
        ("<?xml version='1.0'?>", NO_ENCODING, "1.0"),
        ("<?xml version='1.0' standalone='yes' ", INCOMPLETE, "yes"),
    ],
)
def test_positions_point_into_the_callers_text(text, code, value, width):
    assert call(units_of(text), width) == (code, text.index(value), text.index(value) + len(value))


@pytest.mark.parametrize("width", WIDTHS)
@pytest.mark.parametrize(
    "text, positions",
    [
        ("<a/>", (None, None)),
        ("<?xml ", (None, None)),
        ("<?xml version= ", (None, None)),
        # The opening quote was passed, the closing one not yet found.
        ("<?xml encoding='utf", (16, None)),
    ],
)
def test_positions_left_alone_until_reached(text, positions, width):
    assert call(units_of(text), width)[1:] == positions


@pytest.mark.parametrize("width", WIDTHS)
@pytest.mark.parametrize(
    "text, start, end, expected",
    [
        # Units past the end are not read, though a decision lies there.
        ("<?xml encoding='x'", 0, 17, INCOMPLETE),
        ("<?xml ?>", 0, 7, INCOMPLETE),
        ("<?xml?>", 0, 5, INCOMPLETE),
        # A range that starts after its end is empty.
        ("<?xml encoding='x'", 18, 0, INCOMPLETE),
        ("<?xml encoding='x'", 7, 6, INCOMPLETE),
        ("<?xml encoding='x'", 1, 0, INCOMPLETE),
        # Nor is anything before the start.
        ("x<?xml encoding='y'", 1, 19, FOUND),
    ],
)
def test_range_bounds(text, start, end, expected, width):
    assert call(units_of(text), width, start, end)[0] == expected


@settings(max_examples=300, deadline=None)
@given(PREFIXED | DECLARATIONS)
def test_scanner_agrees_with_model(text):
    units = units_of(text)
    for width in WIDTHS:
        if max(units, default=0) < 1 << (8 * width):
            assert run(units, width) == twin_scan(units, width), width


def test_wide_scanners_agree_on_shared_texts():
    # Without non-ASCII letters in names the three widths answer alike.
    text = "<?xml version='é' encoding='ü'?>"
    assert scan(text, 1) == scan(text, 2) == scan(text, 4) == (FOUND, "ü")


# The C shape of a function that takes a positional argument tuple.
def exported_fixencoding():
    fn = library.fixencoding
    fn.restype = ctypes.py_object
    fn.argtypes = [ctypes.py_object, ctypes.py_object]
    return fn


@pytest.mark.parametrize(
    "args, expected",
    [
        (("<?xml encoding='latin-1'?><a/>", "utf-8"), "<?xml encoding='utf-8'?><a/>"),
        (("<?xml version='1.0'", "utf-8"), None),
        (("<?xml version='1.0'", "utf-8", 1), "<?xml version='1.0'"),
    ],
)
def test_fixencoding_symbol(args, expected):
    assert exported_fixencoding()(_vexil, args) == expected


def test_fixencoding_symbol_ignores_module_and_keeps_identity():
    text = "<a/>"
    assert exported_fixencoding()(None, (text, "x")) is text


@pytest.mark.parametrize(
    "args, exc",
    [
        ((), TypeError),
        (("<a/>",), TypeError),
        ((b"<a/>", "x"), TypeError),
        (("<?xml version=1.0", "x"), ValueError),
    ],
)
def test_fixencoding_symbol_errors(args, exc):
    with pytest.raises(exc):
        exported_fixencoding()(None, args)


def test_detectencoding_is_not_exported():
    with pytest.raises(AttributeError):
        library.detectencoding

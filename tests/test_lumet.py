"""switchcolor: the control sequence between two terminal style codes."""

import pytest
from hypothesis import given, strategies as st

import _lumet
from _lumet import switchcolor
from switchcolor_twin import DEFAULT, ESC, apply_sgr


# The rows every implementation of the rules must give.
@pytest.mark.parametrize(
    "current, wanted, result",
    [
        (56, -1, ""),
        (7, 7, ""),
        (-1, -1, ""),
        (-1, 56, ESC + "[0m"),
        (5, 56, ESC + "[0m"),
        (0, 56, ESC + "[0m"),
        (56, 15, ESC + "[31;47m"),
        (56, 0, ESC + "[30m"),
        (-1, 0, ESC + "[30m"),
        (0, 7, ESC + "[47m"),
        (56, 63, ESC + "[47m"),
        (-1, 120, ESC + "[1m"),
        (120, 56, ESC + "[0m"),
        (120, 15, ESC + "[0;31;47m"),
        (56, 504, ESC + "[1;4;5m"),
        (-1, 511, ESC + "[1;4;5;47m"),
        (63, 248, ESC + "[1;4;40m"),
        # Dropping one attribute while keeping another needs the reset.
        (504, 120, ESC + "[0;1m"),
        (248, 120, ESC + "[0;1m"),
        (0x1C0 | 15, 0x40 | 15, ESC + "[0;1;31;47m"),
        # Codes that differ only above bit 8 show the same rendition...
        (63, 575, ""),
        (56, 568, ""),
        # ...except that the default code always resets, and an unknown
        # terminal is always told.
        (568, 56, ESC + "[0m"),
        (-1, 568, ESC + "[m"),
    ],
)
def test_switch_sequences(current, wanted, result):
    assert switchcolor(current, wanted) == result


def test_longest_sequence_fits():
    result = switchcolor(0x40 | 0o70, 0x180 | 0o01)
    assert result == ESC + "[0;4;5;30;41m"
    assert len(result) == 14


@pytest.mark.parametrize(
    "args, exc",
    [
        ((), TypeError),
        ((1,), TypeError),
        ((1, 2, 3), TypeError),
        (("1", 2), TypeError),
        ((1.0, 2), TypeError),
        ((None, 2), TypeError),
        ((2**31, 0), OverflowError),
        ((0, -(2**31) - 1), OverflowError),
    ],
)
def test_argument_errors(args, exc):
    with pytest.raises(exc):
        switchcolor(*args)


def test_keywords_refused():
    with pytest.raises(TypeError):
        switchcolor(current=1, wanted=2)


def test_extreme_codes_accepted():
    assert switchcolor(2**31 - 1, -(2**31)).startswith(ESC + "[")


def test_module_definition():
    assert _lumet.__doc__ == "This module contains the function switchcolor()."
    assert switchcolor.__doc__ is None
    assert [n for n in dir(_lumet) if not n.startswith("__")] == ["switchcolor"]


codes = st.one_of(
    st.integers(0, 511),
    st.integers(0, 511).map(lambda c: c | 0x200),
    st.integers(-(2**31), 2**31 - 1),
    st.just(-1),
)


@given(current=codes, wanted=codes)
def test_switch_reaches_wanted_rendition(current, wanted):
    seq = switchcolor(current, wanted)
    assert seq.isascii() and len(seq) <= 14
    if wanted == -1:
        assert seq == ""
        return
    shown = DEFAULT if current == -1 else current & 0x1FF
    after = apply_sgr(shown, seq)
    assert after == wanted & 0x1FF
    if seq == "":
        # Empty only when there is nothing to switch.
        assert current != -1 or wanted == -1
        assert shown == wanted & 0x1FF


def test_every_small_pair():
    for current in [-1, *range(512)]:
        shown = DEFAULT if current == -1 else current
        for wanted in range(512):
            assert apply_sgr(shown, switchcolor(current, wanted)) == wanted, (current, wanted)

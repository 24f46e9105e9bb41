"""The three exported declaration scanners, called through ctypes on blocks of
exactly the text's size, against the model of their rules.

Input: one byte that picks the width (and, at width 4, whether the largest
code point stands for a unit beyond any code point), then the text."""

import ctypes

from harness import need, run, text  # first: it puts the twins on the path

from declaration_twin import ERROR, FOUND, scan
from exported import UNIT_TYPES, declaration_scanners

_vexil = need("_vexil")
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.malloc.argtypes = [ctypes.c_size_t]
libc.free.argtypes = [ctypes.c_void_p]

SCANNERS = declaration_scanners(_vexil)

SENTINEL = 0x5EED


def units_of(data: bytes) -> tuple[int, list[int]]:
    if not data:
        return 1, []
    head, body = data[0], data[1:]
    width = (1, 2, 4, 1)[head & 3]
    if width == 1:
        return 1, list(body)
    units = [ord(c) for c in text(body)]
    if width == 2:
        return 2, [u & 0xFFFF for u in units]
    if head & 4:
        units = [0xFFFFFFFF if u == 0x10FFFF else u for u in units]
    return 4, units


def test_one_input(data: bytes) -> None:
    width, units = units_of(data)
    fn, unit = SCANNERS[width], UNIT_TYPES[width]
    n = len(units)
    # A block of exactly n units, so that a read past the end reaches the
    # sanitizer's red zone.
    block = libc.malloc(n * width)
    try:
        if n:
            ctypes.memmove(block, (unit * n)(*units), n * width)
        start = ctypes.c_void_p(SENTINEL)
        end = ctypes.c_void_p(SENTINEL)
        want = scan(units, width)
        try:
            got = fn(block, block + n * width, ctypes.byref(start), ctypes.byref(end))
        except ValueError as exc:
            assert want == (ERROR, str(exc)), (width, units, want, exc)
            return
        assert got == want[0], (width, units, want, got)
        if got == FOUND:
            found = ((start.value - block) // width, (end.value - block) // width)
            assert found == want[1], (width, units, want, found)
    finally:
        libc.free(block)


if __name__ == "__main__":
    run(test_one_input)

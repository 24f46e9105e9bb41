"""A terminal reduced to what _lumet's style codes can express, written from
the meaning of each parameter of a select-graphic-rendition sequence, not
from switchcolor: the rendition a sequence leaves on the screen."""

ESC = "\x1b"
# The rendition a terminal starts with and a reset returns to.
DEFAULT = 56
ATTRIBUTES = {1: 0x40, 4: 0x80, 5: 0x100}


def apply_sgr(rendition: int, sequence: str) -> int:
    """The rendition after `sequence` on a screen showing `rendition`."""
    if not sequence:
        return rendition
    assert sequence.startswith(ESC + "[") and sequence.endswith("m"), sequence
    body = sequence[2:-1]
    for param in body.split(";") if body else [""]:
        n = int(param) if param else 0
        if n == 0:
            rendition = DEFAULT
        elif n in ATTRIBUTES:
            rendition |= ATTRIBUTES[n]
        elif 30 <= n <= 37:
            rendition = (rendition & ~0o70) | ((n - 30) << 3)
        elif 40 <= n <= 47:
            rendition = (rendition & ~0o7) | (n - 40)
        else:
            raise AssertionError(f"unexpected parameter {n} in {sequence!r}")
    return rendition

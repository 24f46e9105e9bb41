"""The XML declaration scanner written straight from its rules, over a list
of code units, as the oracle of the encoding targets."""

ERROR, INCOMPLETE, NO_ENCODING, FOUND = -1, 0, 1, 2
SPACE = {0x09, 0x0A, 0x0D, 0x20}
QUOTES = {0x22, 0x27}
PREFIX = [ord(c) for c in "<?xml"]
ENCODING = [ord(c) for c in "encoding"]

MSG_NAME = "malformed XML declaration: empty or malformed pseudoattr name"
MSG_EQUALS = "malformed XML declaration: expected '='"
MSG_QUOTE = "malformed XML declaration: expected quote"
MSG_EMPTY = "malformed XML declaration: empty pseudoattr value"


def is_letter(unit: int, width: int) -> bool:
    if width == 1:
        return 0x41 <= unit <= 0x5A or 0x61 <= unit <= 0x7A
    return unit < 0x110000 and chr(unit).isalpha()


def scan(units: list[int], width: int):
    """(code, value start, value end, message) for the units of one width."""
    n = len(units)
    for i, want in enumerate(PREFIX):
        if n == i:
            return INCOMPLETE, None, None, None
        if units[i] != want:
            return NO_ENCODING, None, None, None
    if n == 5:
        return INCOMPLETE, None, None, None
    if units[5] not in SPACE:
        return NO_ENCODING, None, None, None
    p = 6
    while True:
        while p < n and units[p] in SPACE:
            p += 1
        if p == n:
            return INCOMPLETE, None, None, None
        if units[p] == ord("?"):
            # A "?" that ends the text may still become "?>": more text
            # decides, as for every other cut.
            if p + 1 == n:
                return INCOMPLETE, None, None, None
            if units[p + 1] == ord(">"):
                return NO_ENCODING, None, None, None
        q = p
        while q < n and is_letter(units[q], width):
            q += 1
        if q == n:
            return INCOMPLETE, None, None, None
        if q == p:
            return ERROR, None, None, MSG_NAME
        r = q
        while r < n and units[r] in SPACE:
            r += 1
        if r == n:
            return INCOMPLETE, None, None, None
        if units[r] != ord("="):
            return ERROR, None, None, MSG_EQUALS
        r += 1
        while r < n and units[r] in SPACE:
            r += 1
        if r == n:
            return INCOMPLETE, None, None, None
        quote = units[r]
        if quote not in QUOTES:
            return ERROR, None, None, MSG_QUOTE
        start = r + 1
        try:
            end = units.index(quote, start)
        except ValueError:
            return INCOMPLETE, None, None, None
        if end == start:
            return ERROR, None, None, MSG_EMPTY
        if units[p:q] == ENCODING:
            return FOUND, start, end, None
        p = end + 1


def width_of(s: str) -> int:
    top = max(map(ord, s), default=0)
    return 1 if top < 0x100 else 2 if top < 0x10000 else 4

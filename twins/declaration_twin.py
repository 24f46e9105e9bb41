"""A pure-Python twin of _vexil, written from its rules for a reader to check
by eye: the XML declaration scanner over a list of code units, the narrowing
of detectencoding's candidates on the byte road, and fixencoding. The tests
and the fuzz harnesses compare the native module with it."""

ERROR, INCOMPLETE, NO_ENCODING, FOUND = -1, 0, 1, 2
BAD_NAME = "malformed XML declaration: empty or malformed pseudoattr name"
NO_EQUALS = "malformed XML declaration: expected '='"
NO_QUOTE = "malformed XML declaration: expected quote"
EMPTY_VALUE = "malformed XML declaration: empty pseudoattr value"

SPACE = {0x09, 0x0A, 0x0D, 0x20}
QUOTES = {0x22, 0x27}
PREFIX = [ord(c) for c in "<?xml"]
ENCODING = [ord(c) for c in "encoding"]


def is_letter(unit: int, width: int) -> bool:
    if width == 1:
        return 0x41 <= unit <= 0x5A or 0x61 <= unit <= 0x7A
    return unit < 0x110000 and chr(unit).isalpha()


def scan(units: list[int], width: int):
    """(code, detail) for the units of one width: the value's span
    (start, end) when FOUND, the message when ERROR, else None."""
    n = len(units)
    for i, want in enumerate(PREFIX):
        if n == i:
            return INCOMPLETE, None
        if units[i] != want:
            return NO_ENCODING, None
    if n == 5:
        return INCOMPLETE, None
    if units[5] not in SPACE:
        return NO_ENCODING, None

    def skip(p):
        while p < n and units[p] in SPACE:
            p += 1
        return p

    p = 6
    while True:
        p = skip(p)
        if p == n:
            return INCOMPLETE, None
        if units[p] == ord("?"):
            # A "?" that ends the text may still become "?>": more text
            # decides, as for every other cut.
            if p + 1 == n:
                return INCOMPLETE, None
            if units[p + 1] == ord(">"):
                return NO_ENCODING, None
        q = p
        while q < n and is_letter(units[q], width):
            q += 1
        if q == n:
            return INCOMPLETE, None
        if q == p:
            return ERROR, BAD_NAME
        r = skip(q)
        if r == n:
            return INCOMPLETE, None
        if units[r] != ord("="):
            return ERROR, NO_EQUALS
        r = skip(r + 1)
        if r == n:
            return INCOMPLETE, None
        quote = units[r]
        if quote not in QUOTES:
            return ERROR, NO_QUOTE
        try:
            close = units.index(quote, r + 1)
        except ValueError:
            return INCOMPLETE, None
        if close == r + 1:
            return ERROR, EMPTY_VALUE
        if units[p:q] == ENCODING:
            return FOUND, (r + 1, close)
        p = close + 1


def width_of(s: str) -> int:
    """The width the interpreter stores a str in."""
    top = max(map(ord, s), default=0)
    return 1 if top < 0x100 else 2 if top < 0x10000 else 4


def scan_str(s: str):
    """scan on a str at the width that the interpreter stores it in."""
    return scan([ord(c) for c in s], width_of(s))


# detectencoding's candidates on the byte road: the answer, the bytes that
# announce it, and how many bytes it needs to be decided.
PATTERNS = [
    ("utf-8-sig", [0xEF, 0xBB, 0xBF], 3),
    ("utf-16", [0xFF, 0xFE], 2),
    ("utf-16", [0xFE, 0xFF], 2),
    ("utf-16-le", [0x3C, 0x00, 0x3F, 0x00], 4),
    ("utf-16-be", [0x00, 0x3C], 2),
    ("utf-32", [0xFF, 0xFE, 0x00, 0x00], 4),
    ("utf-32", [0x00, 0x00, 0xFE, 0xFF], 4),
    ("utf-32-le", [0x3C, 0x00, 0x00, 0x00], 4),
    ("utf-32-be", [0x00, 0x00, 0x00, 0x3C], 4),
    ("cp037", [0x4C, 0x6F, 0xA7, 0x94], 4),
    (None, PREFIX, 6),  # the declaration itself, answered by the scan
]


def _keeps(candidate: int, buf: bytes, k: int) -> bool:
    pattern = PATTERNS[candidate][1]
    if k < len(pattern) and buf[k] != pattern[k]:
        return False
    # FF FE 00 00 is the UTF-32 mark, not UTF-16's.
    if candidate == 1 and k == 3 and buf[2] == 0 and buf[3] == 0:
        return False
    if candidate == len(PATTERNS) - 1 and k == 5 and buf[5] not in SPACE:
        return False
    return True


def _answer(code, detail, value, undecided):
    if code == ERROR:
        raise ValueError(detail)
    if code == FOUND:
        return value(*detail)
    if code == NO_ENCODING:
        return "utf-8"
    return undecided


def detect_bytes(buf: bytes, final: int):
    """detectencoding on bytes; raises what it raises."""
    undecided = "utf-8" if final else None
    if not buf:
        return undecided
    left = [c for c in range(len(PATTERNS)) if all(_keeps(c, buf, k) for k in range(min(len(buf), 6)))]
    if not left:
        return "utf-8"
    if len(left) > 1 or len(buf) < PATTERNS[left[0]][2]:
        return undecided
    if PATTERNS[left[0]][0] is not None:
        return PATTERNS[left[0]][0]
    # A declaration cut short stays undecided, final or not.
    code, detail = scan(list(buf), 1)
    return _answer(code, detail, lambda start, end: buf[start:end].decode("utf-8"), None)


def detect_str(s: str, final: int):
    """detectencoding on a str: the declaration alone decides."""
    code, detail = scan_str(s)
    return _answer(code, detail, lambda start, end: s[start:end], "utf-8" if final else None)


def fix(s: str, name: str, final: int):
    """fixencoding's result: s itself where it keeps the text, None while
    undecided; raises what it raises."""
    code, detail = scan_str(s)
    if code == ERROR:
        raise ValueError(detail)
    if code == FOUND:
        return s[: detail[0]] + name + s[detail[1] :]
    if code == INCOMPLETE and not final:
        return None
    return s

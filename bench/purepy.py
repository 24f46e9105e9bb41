"""Straightforward pure-Python versions of the small module functions.

They follow the same rules as the native ones and are what a developer would
write without a native module: plain loops and str/bytes methods, no tricks.
The suite times the native functions against them.
"""

from __future__ import annotations

DECL_WS = " \t\r\n"
DECL_WS_BYTES = b" \t\r\n"

# (answer, pattern, bytes needed); the answer None stands for the declaration.
CANDIDATES = [
    ("utf-8-sig", b"\xef\xbb\xbf", 3),
    ("utf-16", b"\xff\xfe", 2),
    ("utf-16", b"\xfe\xff", 2),
    ("utf-16-le", b"<\x00?\x00", 4),
    ("utf-16-be", b"\x00<", 2),
    ("utf-32", b"\xff\xfe\x00\x00", 4),
    ("utf-32", b"\x00\x00\xfe\xff", 4),
    ("utf-32-le", b"<\x00\x00\x00", 4),
    ("utf-32-be", b"\x00\x00\x00<", 4),
    ("cp037", b"\x4c\x6f\xa7\x94", 4),
    (None, b"<?xml", 6),
]


class Incomplete(Exception):
    pass


def _walk(text, pos: int, ws, is_letter) -> tuple[int, int] | None:
    """The encoding value's span after the prefix, None without one.

    Raises Incomplete when the text ends first, ValueError when malformed.
    """
    n = len(text)
    quote_chars = "'\"" if isinstance(text, str) else b"'\""
    while True:
        while pos < n and text[pos : pos + 1] in ws:
            pos += 1
        if pos == n:
            raise Incomplete
        if text[pos : pos + 2] in ("?>", b"?>"):
            return None
        name_end = pos
        while name_end < n and is_letter(text[name_end : name_end + 1]):
            name_end += 1
        if name_end == n:
            raise Incomplete
        if name_end == pos:
            raise ValueError("malformed XML declaration: empty or malformed pseudoattr name")
        q = name_end
        while q < n and text[q : q + 1] in ws:
            q += 1
        if q == n:
            raise Incomplete
        if text[q : q + 1] not in ("=", b"="):
            raise ValueError("malformed XML declaration: expected '='")
        q += 1
        while q < n and text[q : q + 1] in ws:
            q += 1
        if q == n:
            raise Incomplete
        quote = text[q : q + 1]
        if quote not in quote_chars:
            raise ValueError("malformed XML declaration: expected quote")
        start = q + 1
        end = text.find(quote, start)
        if end < 0:
            raise Incomplete
        if end == start:
            raise ValueError("malformed XML declaration: empty pseudoattr value")
        if text[pos:name_end] in ("encoding", b"encoding"):
            return start, end
        pos = end + 1


def _declaration(text, ws, is_letter) -> tuple[int, int] | None | Incomplete:
    prefix = "<?xml" if isinstance(text, str) else b"<?xml"
    if not prefix.startswith(text[:5]):
        return None
    if len(text) < 6:
        return Incomplete()
    if text[5:6] not in ws:
        return None
    try:
        return _walk(text, 6, ws, is_letter)
    except Incomplete as e:
        return e


def detectencoding(obj, final: int = 0):
    undecided = "utf-8" if final else None
    if isinstance(obj, str):
        found = _declaration(obj, DECL_WS, str.isalpha)
        if isinstance(found, Incomplete):
            return undecided
        return "utf-8" if found is None else obj[found[0] : found[1]]
    data = bytes(memoryview(obj))
    if not data:
        return undecided
    head = data[:6]
    left = []
    for i, (answer, pattern, needed) in enumerate(CANDIDATES):
        common = min(len(head), len(pattern))
        if head[:common] != pattern[:common]:
            continue
        if i == 1 and head[2:4] == b"\x00\x00":
            continue
        if i == 10 and len(head) == 6 and head[5:6] not in DECL_WS_BYTES:
            continue
        left.append((i, answer, needed))
    if not left:
        return "utf-8"
    if len(left) > 1 or len(data) < left[0][2]:
        return undecided
    i, answer, _ = left[0]
    if i != 10:
        return answer
    found = _declaration(data, DECL_WS_BYTES, bytes.isalpha)
    if isinstance(found, Incomplete):
        return None
    return "utf-8" if found is None else data[found[0] : found[1]].decode("utf-8")


def fixencoding(text: str, name: str, final: int = 0):
    found = _declaration(text, DECL_WS, str.isalpha)
    if isinstance(found, Incomplete):
        return text if final else None
    if found is None:
        return text
    start, end = found
    return text[:start] + name + text[end:]


def switchcolor(current: int, wanted: int) -> str:
    if wanted == -1 or current == wanted:
        return ""
    if current == -1:
        current = 56
    elif current & 0x1FF == wanted & 0x1FF and wanted != 56:
        # The codes differ only in bits that no sequence expresses.
        return ""
    params = []
    drops_attribute = current & ~wanted & 0x1C0
    if drops_attribute or not wanted & 0x1C0 and (current & 0x1C0 or wanted == 56):
        params.append("0")
        current = 56
    for bit, param in ((0x40, "1"), (0x80, "4"), (0x100, "5")):
        if wanted & bit and not current & bit:
            params.append(param)
    if (current ^ wanted) & 0x38:
        params.append("3%d" % ((wanted >> 3) & 7))
    if (current ^ wanted) & 0x07:
        params.append("4%d" % (wanted & 7))
    return "\x1b[" + ";".join(params) + "m"

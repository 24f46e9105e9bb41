"""detectencoding on both roads, with every kind of buffer and of final,
against the model of its rules.

Input: one byte of choices (road, argument type, final), then the bytes or
the text."""

import array

from declmodel import ERROR, FOUND, NO_ENCODING, SPACE, scan, width_of
from harness import need, run, text

_vexil = need("_vexil")

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
    (None, [0x3C, 0x3F, 0x78, 0x6D, 0x6C], 6),
]
FINALS = [0, 1, -1, 7, True, False, 2**31 - 1, -(2**31)]


class Text(str):
    pass


def keeps(candidate: int, buf: bytes, k: int) -> bool:
    pattern = PATTERNS[candidate][1]
    if k < len(pattern) and buf[k] != pattern[k]:
        return False
    if candidate == 1 and k == 3 and buf[2] == 0 and buf[3] == 0:
        return False
    if candidate == 10 and k == 5 and buf[5] not in SPACE:
        return False
    return True


def answer(code, value, undecided):
    if code == FOUND:
        return value()
    if code == NO_ENCODING:
        return "utf-8"
    return undecided


def model_bytes(buf: bytes, final: int):
    undecided = "utf-8" if final else None
    if not buf:
        return undecided
    left = [c for c in range(11) if all(keeps(c, buf, k) for k in range(min(len(buf), 6)))]
    if not left:
        return "utf-8"
    if len(left) > 1 or len(buf) < PATTERNS[left[0]][2]:
        return undecided
    if left[0] < 10:
        return PATTERNS[left[0]][0]
    code, start, end, message = scan(list(buf), 1)
    if code == ERROR:
        raise ValueError(message)
    return answer(code, lambda: buf[start:end].decode("utf-8"), None)


def model_str(s: str, final: int):
    code, start, end, message = scan([ord(c) for c in s], width_of(s))
    if code == ERROR:
        raise ValueError(message)
    return answer(code, lambda: s[start:end], "utf-8" if final else None)


def outcome(fn, *args):
    try:
        return "ok", fn(*args)
    except (ValueError, UnicodeDecodeError) as exc:
        return type(exc).__name__, str(exc) if type(exc) is ValueError else ""


def test_one_input(data: bytes) -> None:
    if not data:
        return
    choice, body = data[0], data[1:]
    final = FINALS[(choice >> 3) & 7]
    kind = choice & 7
    if kind == 7:
        # A buffer that is not contiguous, and objects without a buffer.
        for bad in (memoryview(body)[::2] if len(body) > 2 else None, 12, object()):
            if bad is None:
                continue
            try:
                _vexil.detectencoding(bad, final)
            except (TypeError, BufferError):
                continue
            raise AssertionError(f"accepted {bad!r}")
        return
    if kind >= 5:
        s = text(body)
        arg = s if kind == 5 else Text(s)
        want = outcome(model_str, s, final)
    else:
        # array('B') holds exactly the bytes, so a read past them is caught.
        arg = [array.array("B", body), bytes(body), bytearray(body), memoryview(body), array.array("B", body)][kind]
        want = outcome(model_bytes, body, final)
    got = outcome(_vexil.detectencoding, arg, final) if choice & 0x40 or final else outcome(_vexil.detectencoding, arg)
    assert got == want, (choice, body, want, got)
    if got[0] == "ok" and got[1] is not None:
        assert type(got[1]) is str


if __name__ == "__main__":
    run(test_one_input)

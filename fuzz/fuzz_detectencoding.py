"""detectencoding on both roads, with every kind of buffer and of final,
against the model of its rules.

Input: one byte of choices (road, argument type, final), then the bytes or
the text."""

import array

from harness import need, run, text  # first: it puts the twins on the path

from declaration_twin import detect_bytes, detect_str

_vexil = need("_vexil")

FINALS = [0, 1, -1, 7, True, False, 2**31 - 1, -(2**31)]


class Text(str):
    pass


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
        want = outcome(detect_str, s, final)
    else:
        # array('B') holds exactly the bytes, so a read past them is caught.
        arg = [array.array("B", body), bytes(body), bytearray(body), memoryview(body), array.array("B", body)][kind]
        want = outcome(detect_bytes, body, final)
    got = (
        outcome(_vexil.detectencoding, arg, final)
        if choice & 0x40 or final
        else outcome(_vexil.detectencoding, arg)
    )
    assert got == want, (choice, body, want, got)
    if got[0] == "ok" and got[1] is not None:
        assert type(got[1]) is str


if __name__ == "__main__":
    run(test_one_input)

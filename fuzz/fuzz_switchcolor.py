"""switchcolor with any pair of codes and with argument lists it must refuse."""

import atheris

from harness import need, run  # first: it puts the twins on the path

from switchcolor_twin import DEFAULT, ESC, apply_sgr

_lumet = need("_lumet")

BAD_ARGS = [(), (1,), (1, 2, 3), ("1", 2), (1.5, 2), (None, 0), (2**31, 0), (0, -(2**31) - 1), (2**64, 1)]


def test_one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeIntInRange(0, 15) == 0:
        args = BAD_ARGS[fdp.ConsumeIntInRange(0, len(BAD_ARGS) - 1)]
        try:
            _lumet.switchcolor(*args)
        except (TypeError, OverflowError):
            return
        raise AssertionError(f"accepted {args!r}")
    current = fdp.ConsumeIntInRange(-(2**31), 2**31 - 1)
    wanted = fdp.ConsumeIntInRange(-(2**31), 2**31 - 1)
    if fdp.ConsumeBool():
        current &= 0x3FF
    if fdp.ConsumeBool():
        wanted = -1 if fdp.ConsumeBool() else wanted & 0x3FF
    seq = _lumet.switchcolor(current, wanted)
    assert type(seq) is str and seq.isascii() and len(seq) <= 14, (current, wanted, seq)
    if seq:
        assert seq.startswith(ESC + "[") and seq.endswith("m"), (current, wanted, seq)
    if wanted == -1 or current == wanted:
        assert seq == "", (current, wanted, seq)
        return
    start = DEFAULT if current == -1 else current & 0x1FF
    assert apply_sgr(start, seq) == wanted & 0x1FF, (current, wanted, seq)


if __name__ == "__main__":
    run(test_one_input)

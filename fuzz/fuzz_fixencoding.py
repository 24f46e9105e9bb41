"""fixencoding with texts and names of every width pair, str subclasses,
every kind of final and wrong argument types, against the model of its rules.

Input: one byte of choices, one byte of name length, the name, the text."""

from harness import need, run, text  # first: it puts the twins on the path

from declaration_twin import fix

_vexil = need("_vexil")

FINALS = [0, 1, -1, 7, True, 2**31 - 1, -(2**31), None]


class Text(str):
    pass


def test_one_input(data: bytes) -> None:
    if len(data) < 2:
        return
    choice, size = data[0], data[1]
    name = text(data[2 : 2 + size])
    s = text(data[2 + size :])
    final = FINALS[choice & 7]
    arg_text = Text(s) if choice & 8 else s
    arg_name = Text(name) if choice & 16 else name
    if choice & 0xE0 == 0xE0:
        for args in ((s.encode("utf-8", "surrogatepass"), name), (s, 5), (s,), (s, name, 1, 2), (s, name, 2**31)):
            try:
                _vexil.fixencoding(*args)
            except (TypeError, OverflowError):
                continue
            raise AssertionError(f"accepted {args!r}")
        return
    args = (arg_text, arg_name) if final is None else (arg_text, arg_name, final)
    try:
        want = fix(s, name, final or 0)
    except ValueError as exc:
        try:
            _vexil.fixencoding(*args)
        except ValueError as got:
            assert str(got) == str(exc), (s, name, exc, got)
            return
        raise AssertionError(f"no error for {s!r}")
    got = _vexil.fixencoding(*args)
    if want is s:
        assert got is arg_text, (s, name, got)
    elif want is None:
        assert got is None, (s, name, got)
    else:
        # Equality with a str built by slicing also proves the result's
        # storage is canonical: an over-stated maximum compares unequal.
        assert type(got) is str and got == want and got is not arg_text, (s, name, want, got)


if __name__ == "__main__":
    run(test_one_input)

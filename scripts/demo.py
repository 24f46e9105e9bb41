"""A short look at the modules at work."""

from _lumet import switchcolor

# (style code, word): background in bits 0-2, foreground in bits 3-5,
# bold 0x40, underline 0x80, blink 0x100.
WORDS = [
    (56, "plain"),
    (56 | 0x40, "bold"),
    (1 << 3, "red"),
    ((2 << 3) | 0x80, "green-underlined"),
    ((3 << 3) | 4, "yellow-on-blue"),
    ((7 << 3) | 1 | 0x40, "bold-on-red"),
    (56, "plain again"),
]


def main() -> None:
    current = -1
    out = []
    for code, word in WORDS:
        out.append(switchcolor(current, code) + word)
        current = code
        out.append(switchcolor(current, 56) + " ")
        current = 56
    print("".join(out) + switchcolor(current, 56))


if __name__ == "__main__":
    main()

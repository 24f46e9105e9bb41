"""A pure-Python model of the XML declaration scanner of _vexil, written from
its rules, and texts to compare the two on."""

from hypothesis import strategies as st

ERROR, INCOMPLETE, NO_ENCODING, FOUND = -1, 0, 1, 2
BAD_NAME = "malformed XML declaration: empty or malformed pseudoattr name"
NO_EQUALS = "malformed XML declaration: expected '='"
NO_QUOTE = "malformed XML declaration: expected quote"
EMPTY_VALUE = "malformed XML declaration: empty pseudoattr value"


def model(units, width):
    """The scanner's rules, restated independently: (code, span or message)."""
    n = len(units)
    for i, ch in enumerate("<?xml"):
        if n == i:
            return INCOMPLETE, None
        if units[i] != ord(ch):
            return NO_ENCODING, None
    if n == 5:
        return INCOMPLETE, None
    spaces = {9, 10, 13, 32}
    if units[5] not in spaces:
        return NO_ENCODING, None

    def letter(u):
        if width == 1:
            return 65 <= u <= 90 or 97 <= u <= 122
        return u < 0x110000 and chr(u).isalpha()

    def skip(p):
        while p < n and units[p] in spaces:
            p += 1
        return p

    p = 6
    while True:
        p = skip(p)
        if p == n:
            return INCOMPLETE, None
        if units[p] == ord("?"):
            if p + 1 == n:
                return INCOMPLETE, None
            if units[p + 1] == ord(">"):
                return NO_ENCODING, None
        q = p
        while q < n and letter(units[q]):
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
        if quote not in (ord("'"), ord('"')):
            return ERROR, NO_QUOTE
        try:
            close = units.index(quote, r + 1)
        except ValueError:
            return INCOMPLETE, None
        if close == r + 1:
            return ERROR, EMPTY_VALUE
        if units[p:q] == [ord(c) for c in "encoding"]:
            return FOUND, (r + 1, close)
        p = close + 1


def model_str(text):
    """The model on a str at the width that the interpreter stores it in."""
    top = max(map(ord, text), default=0)
    return model([ord(c) for c in text], 1 if top < 0x100 else 2 if top < 0x10000 else 4)


# Pieces that declarations are made of, and a few that break them.
PIECES = st.sampled_from(
    [" ", "\t", "\n", "\r", "\x0c", "\xa0", "=", "'", '"', "?", ">", "?>", "<",
     "encoding", "version", "Encoding", "x", "1.0", "utf-8", "-", "é", "Ā",
     "\u3042", "\U0001d49c", "٣", "\0", "\ufeff"]
)  # fmt: skip
NAMES = st.just("encoding") | st.sampled_from(
    ["version", "standalone", "Encoding", "encodings", "vérsion", "ĀĀ", "𝒜"]
)
SPACE = st.text(" \t\r\n", max_size=2)


@st.composite
def pseudo_attributes(draw):
    """A pseudo-attribute, well formed but for a value that may be empty."""
    quote = draw(st.sampled_from("'\""))
    value = draw(st.text(max_size=4)).replace(quote, "")
    return draw(NAMES) + draw(SPACE) + "=" + draw(SPACE) + quote + value + quote + draw(SPACE)


# Sound pseudo-attributes mixed with stray pieces, cut anywhere.
BODIES = st.builds(
    lambda parts, cut: "".join(parts)[:cut],
    st.lists(st.one_of(pseudo_attributes(), pseudo_attributes(), PIECES, st.text(max_size=2)), max_size=6),
    st.integers(0, 80),
)
# Texts that start like a declaration, or nearly so.
DECLARATIONS = st.builds(
    str.__add__, st.sampled_from(["<?xml ", "<?xml", "<?xml\t", "<?xm", "", "<?XML "]), BODIES
)
# Texts that pass the declaration prefix.
PREFIXED = st.builds(str.__add__, st.sampled_from(["<?xml ", "<?xml\t", "<?xml\r", "<?xml\n"]), BODIES)

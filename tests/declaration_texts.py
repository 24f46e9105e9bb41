"""Texts to compare _vexil's declaration scanner with its twin on."""

from hypothesis import strategies as st

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
DECLARATIONS = st.builds(str.__add__, st.sampled_from(["<?xml ", "<?xml", "<?xml\t", "<?xm", "", "<?XML "]), BODIES)
# Texts that pass the declaration prefix.
PREFIXED = st.builds(str.__add__, st.sampled_from(["<?xml ", "<?xml\t", "<?xml\r", "<?xml\n"]), BODIES)

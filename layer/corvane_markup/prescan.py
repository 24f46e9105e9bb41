"""The encoding an HTML page declares in a <meta> element, read from its
first bytes the way browsers read it before they decode anything.

Only bytes are looked at, and only ASCII matters in them: a page whose
bytes are an ASCII-compatible encoding declares it here or nowhere.
"""

from __future__ import annotations

import codecs

# Browsers look no further than this.
WINDOW = 1024

SPACE = b"\t\n\x0c\r "
# Where the name of a tag ends.
TAG_END = SPACE + b">"


def _lower(byte: int) -> int:
    return byte + 32 if 0x41 <= byte <= 0x5A else byte


class _Bytes:
    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    def at_end(self) -> bool:
        return self.pos >= len(self.data)

    def peek(self) -> int:
        return self.data[self.pos]

    def skip(self, chars: bytes) -> None:
        while self.pos < len(self.data) and self.data[self.pos] in chars:
            self.pos += 1

    def attribute(self) -> tuple[bytes, bytes] | None:
        """The next attribute of a tag, names and unquoted values lower-cased;
        None at the tag's end or the end of the window."""
        self.skip(SPACE + b"/")
        if self.at_end() or self.peek() == 0x3E:
            return None
        name = bytearray()
        while True:
            if self.at_end():
                return None
            c = self.peek()
            if c == 0x3D and name:
                self.pos += 1
                break
            if c in SPACE:
                self.skip(SPACE)
                if self.at_end():
                    return None
                if self.peek() != 0x3D:
                    return bytes(name), b""
                self.pos += 1
                break
            if c in b"/>":
                return bytes(name), b""
            name.append(_lower(c))
            self.pos += 1
        self.skip(SPACE)
        if self.at_end():
            return None
        value = bytearray()
        quote = self.peek()
        if quote in b"\"'":
            end = self.data.find(bytes([quote]), self.pos + 1)
            if end < 0:
                return None
            value += bytes(map(_lower, self.data[self.pos + 1 : end]))
            self.pos = end + 1
            return bytes(name), bytes(value)
        if quote == 0x3E:
            return bytes(name), b""
        while not self.at_end() and self.peek() not in TAG_END:
            value.append(_lower(self.peek()))
            self.pos += 1
        return (bytes(name), bytes(value)) if not self.at_end() else None


def charset_in_content(content: bytes) -> bytes | None:
    """The charset named by an http-equiv Content-Type value
    ("text/html; charset=koi8-r")."""
    pos = 0
    while True:
        found = content.find(b"charset", pos)
        if found < 0:
            return None
        pos = found + 7
        while pos < len(content) and content[pos] in SPACE:
            pos += 1
        if pos >= len(content) or content[pos] != 0x3D:
            continue
        pos += 1
        while pos < len(content) and content[pos] in SPACE:
            pos += 1
        if pos >= len(content):
            return None
        if content[pos] in b"\"'":
            end = content.find(content[pos : pos + 1], pos + 1)
            return content[pos + 1 : end] if end >= 0 else None
        end = pos
        while end < len(content) and content[end] not in SPACE + b";":
            end += 1
        return content[pos:end] or None


def _encoding(label: bytes) -> str | None:
    """The codec for a label, as a browser would take it, or None."""
    try:
        name = codecs.lookup(label.decode("ascii").strip()).name
    except (LookupError, UnicodeDecodeError):
        return None
    # A page that says UTF-16 in ASCII bytes is not UTF-16; browsers read
    # the Latin-1 and ASCII labels as windows-1252, which only gives the
    # bytes 0x80 to 0x9F printable characters instead of controls.
    if name.startswith("utf-16"):
        return "utf-8"
    if name in ("latin-1", "iso8859-1", "ascii"):
        return "cp1252"
    return name


def _meta(reader: _Bytes) -> str | None:
    seen: set[bytes] = set()
    got_pragma = False
    need_pragma: bool | None = None
    charset: bytes | None = None
    while (attribute := reader.attribute()) is not None:
        name, value = attribute
        if name in seen:
            continue
        seen.add(name)
        if name == b"http-equiv":
            got_pragma = value == b"content-type"
        elif name == b"content" and charset is None:
            charset = charset_in_content(value)
            if charset is not None:
                need_pragma = True
        elif name == b"charset":
            charset = value
            need_pragma = False
    if need_pragma is None or charset is None or (need_pragma and not got_pragma):
        return None
    return _encoding(charset)


def declared_charset(data: bytes) -> str | None:
    """The encoding named by the first <meta charset> or <meta http-equiv>
    in the first WINDOW bytes of `data`, as a Python codec name, or None."""
    reader = _Bytes(data[:WINDOW])
    b = reader.data
    while not reader.at_end():
        pos = reader.pos
        if b.startswith(b"<!--", pos):
            # "<!-->" closes at once: the dashes may be the opening ones.
            end = b.find(b"-->", pos + 2)
            if end < 0:
                return None
            reader.pos = end + 3
        elif b[pos : pos + 5].lower() == b"<meta" and b[pos + 5 : pos + 6] in (b"/", *(bytes([c]) for c in SPACE)):
            reader.pos = pos + 5
            found = _meta(reader)
            if found is not None:
                return found
        elif b.startswith(b"<", pos) and (
            b[pos + 1 : pos + 2].isalpha() or (b[pos + 1 : pos + 2] == b"/" and b[pos + 2 : pos + 3].isalpha())
        ):
            reader.pos = pos + 1
            while not reader.at_end() and reader.peek() not in TAG_END:
                reader.pos += 1
            while reader.attribute() is not None:
                pass
        elif b.startswith((b"<!", b"</", b"<?"), pos):
            end = b.find(b">", pos + 2)
            if end < 0:
                return None
            reader.pos = end + 1
        else:
            reader.pos = pos + 1
    return None

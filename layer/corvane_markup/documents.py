"""Documents: bytes from a path, a binary file or memory, decompressed when
they are compressed, their encoding named and their text decoded piece by
piece in bounded memory."""

from __future__ import annotations

import codecs
import io
import os
from collections.abc import Iterator

import _vexil

from .errors import DecodingError
from .prescan import WINDOW, declared_charset

CHUNK_SIZE = 64 * 1024
# A declaration still open after this many bytes is not one to wait for:
# without a cap an input that begins "<?xml '" would be read whole first.
DETECT_LIMIT = 64 * 1024

# Type names are imported for the checker alone: loading typing would add to
# every start-up.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import IO, Literal, Protocol, TypeAlias

    Mode: TypeAlias = Literal["xml", "sgml"]
    Source: TypeAlias = "str | os.PathLike[str] | bytes | bytearray | memoryview | IO[bytes]"

    class _Readable(Protocol):
        def read(self, size: int = ..., /) -> bytes: ...


# How the encoding was found.
GIVEN = "given"
BOM = "byte-order mark"
PATTERN = "byte pattern"
DECLARATION = "declaration"
META = "meta"
DEFAULT = "default"

BYTE_ORDER_MARKS = (b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff", b"\x00\x00\xfe\xff")
PATTERN_ENCODINGS = frozenset({"utf-16-le", "utf-16-be", "utf-32-le", "utf-32-be", "cp037"})
DECLARATION_START = tuple(b"<?xml" + bytes([ws]) for ws in b" \t\r\n")

SGML_SUFFIXES = frozenset({".html", ".htm", ".sgml", ".sgm"})
XML_SUFFIXES = frozenset({".xml", ".xhtml", ".svg", ".xsl", ".xslt", ".xsd", ".rss", ".atom"})

COMPRESSIONS = (
    (b"\x1f\x8b", "gzip", ".gz"),
    (b"BZh", "bzip2", ".bz2"),
    (b"\xfd7zXZ\x00", "xz", ".xz"),
)


def choose_mode(start: str, path: str = "") -> Mode:
    """ "xml" or "sgml" for a document, from its first text and its path: an
    XML declaration means XML; then an .html, .htm, .sgml or .sgm suffix
    means SGML, and so does a text that starts with "<!DOCTYPE html" or
    "<html" unless the suffix says XML; anything else is XML."""
    head = start.lstrip("\ufeff \t\r\n")[:64].lower()
    if head.startswith("<?xml"):
        return "xml"
    suffix = os.path.splitext(path)[1].lower()
    if suffix in SGML_SUFFIXES:
        return "sgml"
    if suffix not in XML_SUFFIXES and head.startswith(("<!doctype html", "<html")):
        return "sgml"
    return "xml"


# Codecs that turn text into bytes without being the character encoding of a
# document: forms of host names and of Python's literals, and the codec that
# refuses everything.
NOT_DOCUMENT_ENCODINGS = frozenset(
    {"idna", "punycode", "unicode-escape", "raw-unicode-escape", "undefined", "charmap"}
)


def text_codec(name: str, label: str, how: str) -> codecs.CodecInfo:
    """The codec of a document encoding; a DecodingError for a name that is
    unknown or names no such encoding."""
    where = "given" if how == GIVEN else f"named by the {how}"
    try:
        info = codecs.lookup(name)
    except LookupError:
        raise DecodingError(f"unknown encoding {name!r} ({where})", label) from None
    # Codecs such as base64 or rot13 are registered like the text encodings
    # but do not turn bytes into a str.
    if not getattr(info, "_is_text_encoding", True) or info.name in NOT_DOCUMENT_ENCODINGS:
        raise DecodingError(f"{name!r} is not a text encoding ({where})", label)
    return info


def _declares_encoding(head: str) -> bool:
    # fixencoding rewrites exactly when the declaration has the pseudo-attribute.
    return _vexil.fixencoding(head, "", 1) is not head


def _how_found(name: str, head: bytes) -> str:
    if head.startswith(BYTE_ORDER_MARKS) and name in ("utf-8-sig", "utf-16", "utf-32"):
        return BOM
    if head.startswith(DECLARATION_START):
        # Latin-1 keeps the declaration's ASCII structure byte for byte.
        return DECLARATION if _declares_encoding(head.decode("latin-1")) else DEFAULT
    if name in PATTERN_ENCODINGS:
        return PATTERN
    return DEFAULT


class TextDecoder:
    """Bytes in, text out, incrementally.

    The encoding is named from the first bytes: an explicit `encoding`
    always wins; otherwise a byte-order mark, the byte patterns of "<?xml"
    in UTF-16, UTF-32 and EBCDIC, the XML declaration's `encoding` (for
    EBCDIC, the code page the declaration names, read through cp037), and
    for SGML input a <meta> charset in the first 1024 bytes; UTF-8 when
    nothing names one. Until then the bytes are held (1024 of them, more
    while an XML declaration is still open). `encoding`, `found_by` and
    `mode` are None until the encoding is named.

    Errors are DecodingErrors naming the byte offset of the first bad byte;
    the text before it is returned by the call that meets it, and the error
    is raised by the next call.
    """

    def __init__(
        self, name: str = "", encoding: str | None = None, mode: Mode | None = None, path: str = ""
    ) -> None:
        self.name = name
        self.path = path
        self.mode: Mode | None = mode
        self.encoding: str | None = None
        self.found_by: str | None = None
        self._given = encoding
        self._head = bytearray()
        self._decoder: codecs.IncrementalDecoder | None = None
        self._bytes_in = 0
        self._check_start: str | None = None
        self._error: DecodingError | None = None
        if encoding is not None:
            text_codec(encoding, name, GIVEN)

    @property
    def error(self) -> DecodingError | None:
        """The error met, once decode has returned the text before it."""
        return self._error

    @property
    def bytes_read(self) -> int:
        """The bytes given to decode so far."""
        return self._bytes_in + len(self._head)

    def decode(self, data: bytes | bytearray | memoryview, final: bool = False) -> str:
        if self._error is not None:
            raise self._error
        if self._decoder is None:
            self._head += data
            if not self._name_encoding(final):
                return ""
            data = bytes(self._head)
            self._head = bytearray()
        return self._decode(data, final)

    # -- naming --------------------------------------------------------------

    def _name_encoding(self, final: bool) -> bool:
        head = bytes(self._head)
        if len(head) < WINDOW and not final:
            return False
        if self._given is not None:
            name, how = self._given, GIVEN
        else:
            found = self._detect(head, final)
            if found is None:
                return False
            name, how = found
        info = text_codec(name, self.name, how)
        if self.mode is None:
            start = head[: 4 * WINDOW].decode(info.name, errors="replace")
            self.mode = choose_mode(start, self.path)
        if how == DEFAULT and self.mode == "sgml":
            charset = declared_charset(head)
            if charset is not None:
                name, how = charset, META
                info = text_codec(name, self.name, how)
        self.encoding, self.found_by = name, how
        self._decoder = info.incrementaldecoder("strict")
        if how == DECLARATION:
            self._check_start = ""
        return True

    def _detect(self, head: bytes, final: bool) -> tuple[str, str] | None:
        try:
            name = _vexil.detectencoding(head, final)
            if name == "cp037" and not head.startswith(DECLARATION_START):
                return self._ebcdic(head, final)
        except UnicodeDecodeError:
            raise DecodingError("the encoding name in the XML declaration is not UTF-8", self.name) from None
        except ValueError as exc:
            raise DecodingError(str(exc), self.name) from None
        if name is None:
            self._still_open(final)
            return None
        return name, _how_found(name, head)

    def _ebcdic(self, head: bytes, final: bool) -> tuple[str, str] | None:
        # The declaration's ASCII letters have the same EBCDIC bytes in every
        # code page that XML documents use, so cp037 reads the name right.
        text = head.decode("cp037")
        name = _vexil.detectencoding(text, final)
        if name is None:
            self._still_open(final)
            return None
        if _declares_encoding(text):
            return name, DECLARATION
        return "cp037", PATTERN

    def _still_open(self, final: bool) -> None:
        if final:
            raise DecodingError("the input ends inside its XML declaration", self.name)
        if len(self._head) > DETECT_LIMIT:
            raise DecodingError(
                f"the XML declaration does not end within the first {DETECT_LIMIT} bytes",
                self.name,
            )

    # -- decoding ------------------------------------------------------------

    def _decode(self, data: bytes | bytearray | memoryview, final: bool) -> str:
        assert self._decoder is not None
        decoder = self._decoder
        state = decoder.getstate()
        try:
            text = decoder.decode(data, final)
        except UnicodeDecodeError as exc:
            return self._undecodable(data, state, exc)
        except UnicodeError as exc:
            # Decoders that refuse a stream as a whole (UTF-16 without a
            # byte-order mark, before Python 3.13) name no byte.
            self._error = DecodingError(self._mismatch(f"cannot be decoded as {self.encoding}: {exc}"), self.name)
            raise self._error from None
        finally:
            self._bytes_in += len(data)
        if self._check_start is not None:
            self._check_declared(text, final)
        return text

    def _undecodable(
        self, data: bytes | bytearray | memoryview, state: tuple[bytes, int], exc: UnicodeDecodeError
    ) -> str:
        held = len(exc.object) - len(data)
        offset = self._bytes_in + len(data) - len(exc.object) + exc.start
        bad = exc.object[exc.start : exc.end].hex(" ")
        self._error = DecodingError(
            self._mismatch(f"bytes at offset {offset} ({bad}) are not valid {self.encoding}: {exc.reason}"),
            self.name,
            offset,
        )
        # What decodes before the bad bytes is the caller's; the decoder is
        # set back and given only that much.
        good = exc.start - held
        if good <= 0:
            raise self._error
        assert self._decoder is not None
        try:
            self._decoder.setstate(state)
            text = self._decoder.decode(bytes(data[:good]), False)
        except UnicodeError:
            # A decoder that refuses even that (UTF-16 without its mark)
            # has nothing to give.
            raise self._error from None
        if self._check_start is not None:
            self._check_declared(text, False)
        return text

    def _check_declared(self, text: str, final: bool) -> None:
        # The name was read from bytes that spell "<?xml" in ASCII or in
        # EBCDIC; an encoding that does not decode them back to "<?xml"
        # cannot be the document's (a UTF-16 name in an ASCII file, say).
        assert self._check_start is not None
        start = self._check_start + text[:5]
        if len(start) < 5 and not final:
            self._check_start = start
            return
        self._check_start = None
        if not start.startswith("<?xml"):
            self._error = DecodingError(self._mismatch("its bytes do not spell the declaration"), self.name)
            raise self._error

    def _mismatch(self, detail: str) -> str:
        if self.found_by in (DECLARATION, META):
            return f"the declared encoding {self.encoding!r} does not fit the document ({detail})"
        return detail


def _stream_errors() -> tuple[type[Exception], ...]:
    import lzma
    import zlib

    return (OSError, zlib.error, lzma.LZMAError)


class _Prefixed(io.RawIOBase):
    """A binary stream that first gives back the bytes already read from it."""

    def __init__(self, first: bytes, rest: _Readable) -> None:
        self._first = first
        self._rest = rest

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: "memoryview | bytearray") -> int:  # type: ignore[override]
        if self._first:
            n = min(len(buffer), len(self._first))
            buffer[:n] = self._first[:n]
            self._first = self._first[n:]
            return n
        chunk = self._rest.read(len(buffer))
        if not chunk:
            return 0
        buffer[: len(chunk)] = chunk
        return len(chunk)


def _read_some(stream: _Readable, size: int) -> bytes:
    read1 = getattr(stream, "read1", None)
    return bytes(read1(size) if read1 is not None else stream.read(size))


class Document:
    """A document opened for reading: see open_document."""

    def __init__(
        self,
        stream: _Readable,
        name: str,
        *,
        path: str = "",
        encoding: str | None = None,
        mode: Mode | None = None,
        owned: bool = False,
        chunk_size: int = CHUNK_SIZE,
    ) -> None:
        self.name = name
        self._owned: list[_Readable] = [stream] if owned else []
        self._chunk_size = chunk_size
        first = _read_some(stream, chunk_size)
        self.compression: str | None = None
        for magic, kind, suffix in COMPRESSIONS:
            if first.startswith(magic):
                self.compression = kind
                if path.lower().endswith(suffix):
                    path = path[: -len(suffix)]
                break
        if self.compression is not None:
            stream = self._decompressing(io.BufferedReader(_Prefixed(first, stream)))
            first = b""
        self._stream = stream
        self._decoder = TextDecoder(name, encoding, mode, path)
        # Read until the encoding is named, so that it is known from here on.
        self._pending: list[str] = []
        self._done = False
        while self._decoder.encoding is None:
            if first:
                chunk, first = first, b""
            else:
                chunk = self._read()
            self._done = not chunk
            text = self._decoder.decode(chunk, self._done)
            if text:
                self._pending.append(text)
            if self._done:
                break

    def _decompressing(self, raw: io.BufferedReader) -> _Readable:
        # Imported here: most documents are not compressed, and a program
        # that reads them need not start up with the decompressors.
        import bz2
        import gzip
        import lzma

        opened: _Readable
        if self.compression == "gzip":
            opened = gzip.GzipFile(fileobj=raw, mode="rb")
        elif self.compression == "bzip2":
            opened = bz2.BZ2File(raw, "rb")
        else:
            opened = lzma.LZMAFile(raw, "rb")
        self._owned.append(opened)
        return opened

    @property
    def encoding(self) -> str:
        """The encoding's name as it was given or found (for example "utf-8",
        "cp500", "utf-16-le")."""
        assert self._decoder.encoding is not None
        return self._decoder.encoding

    @property
    def found_by(self) -> str:
        """How the encoding was named: "given", "byte-order mark",
        "byte pattern", "declaration", "meta" or "default"."""
        assert self._decoder.found_by is not None
        return self._decoder.found_by

    @property
    def mode(self) -> Mode:
        """ "xml" or "sgml": as given, or as choose_mode reads the document."""
        assert self._decoder.mode is not None
        return self._decoder.mode

    @property
    def bytes_read(self) -> int:
        """How many bytes (after decompression) have been read so far."""
        return self._decoder.bytes_read

    def _read(self) -> bytes:
        try:
            return _read_some(self._stream, self._chunk_size)
        except EOFError:
            raise DecodingError(
                f"the {self.compression} stream ends early, after {self._decoder.bytes_read} bytes of content",
                self.name,
                self._decoder.bytes_read,
            ) from None
        except Exception as exc:
            if self.compression is None or not isinstance(exc, _stream_errors()):
                raise
            raise DecodingError(
                f"the {self.compression} stream is damaged after"
                f" {self._decoder.bytes_read} bytes of content: {exc}",
                self.name,
                self._decoder.bytes_read,
            ) from None

    def text(self) -> Iterator[str]:
        """The document's text, piece by piece, as it is read."""
        while self._pending:
            yield self._pending.pop(0)
        while True:
            # The text before a bad byte has gone out; now the error stands.
            if self._decoder.error is not None:
                raise self._decoder.error
            if self._done:
                return
            chunk = self._read()
            self._done = not chunk
            text = self._decoder.decode(chunk, self._done)
            if text:
                yield text

    def close(self) -> None:
        for stream in reversed(self._owned):
            close = getattr(stream, "close", None)
            if close is not None:
                close()
        self._owned.clear()

    def __enter__(self) -> Document:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def open_document(
    source: Source,
    *,
    encoding: str | None = None,
    mode: Mode | None = None,
    name: str | None = None,
    chunk_size: int = CHUNK_SIZE,
) -> Document:
    """Opens a document for reading: a path, bytes in memory, or a binary
    file object (read from where it stands, and not closed).

    gzip, bzip2 and xz input is recognised by its first bytes and read
    through the decompressor. The encoding is named at once (see
    TextDecoder); `encoding` gives it instead. `mode` ("xml" or "sgml")
    overrides the one read from the document. `name` names the document in
    error messages (by default its path, or the file object's name).
    """
    if isinstance(source, (bytes, bytearray, memoryview)):
        return Document(
            io.BytesIO(source), name or "<bytes>", encoding=encoding, mode=mode, owned=True, chunk_size=chunk_size
        )
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        stream = open(path, "rb")
        try:
            return Document(
                stream, name or path, path=path, encoding=encoding, mode=mode, owned=True, chunk_size=chunk_size
            )
        except BaseException:
            stream.close()
            raise
    label = name or str(getattr(source, "name", "<stream>"))
    path = label if isinstance(getattr(source, "name", None), str) else ""
    return Document(source, label, path=path, encoding=encoding, mode=mode, chunk_size=chunk_size)

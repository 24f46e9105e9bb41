"""Reading a document: bytes in chunks, its encoding named, text decoded.

Nothing here holds more than a chunk of the input at a time, apart from the
first bytes while the encoding is still undecided, and those are capped.
"""

import codecs
import io
import os
import stat
import sys
from collections.abc import Iterator
from dataclasses import dataclass
from typing import cast

from .errors import FileError, InputError, native
from .progress import Progress, make_progress

CHUNK_SIZE = 64 * 1024
# A declaration that is still open after this many bytes is not one that a
# reader should wait for; without a cap a file that begins "<?xml '" would
# be read whole before anything is said.
DETECT_LIMIT = 64 * 1024

BYTE_ORDER_MARKS = (b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff", b"\x00\x00\xfe\xff")
PATTERN_ENCODINGS = frozenset({"utf-16-le", "utf-16-be", "utf-32-le", "utf-32-be", "cp037"})
DECLARATION_START = tuple(b"<?xml" + bytes([ws]) for ws in b" \t\r\n")

BOM = "byte-order mark"
PATTERN = "byte pattern"
DECLARATION = "declaration"
DEFAULT = "default"
OPTION = "option"


def describe_oserror(label: str, exc: OSError, doing: str) -> FileError:
    reason = exc.strerror or str(exc)
    return FileError(f"{label}: cannot {doing}: {reason}")


class Input:
    """A file (or standard input for "-") read in chunks."""

    def __init__(self, path: str, progress: bool = False) -> None:
        self.path = path
        self.label = "<stdin>" if path == "-" else path
        self.offset = 0
        self.progress: Progress | None = None
        if path == "-":
            self.stream = cast(io.BufferedReader, sys.stdin.buffer)
            self.owned = False
        else:
            try:
                self.stream = open(path, "rb")
            except OSError as exc:
                raise describe_oserror(self.label, exc, "open") from None
            self.owned = True
        try:
            info = os.fstat(self.stream.fileno())
        except (OSError, ValueError):
            info = None
        self.size = info.st_size if info and stat.S_ISREG(info.st_mode) else None
        self.progress = make_progress(self.label, self.size, progress)

    def read(self) -> bytes:
        """The next chunk, b"" at the end. A pipe gives what has arrived."""
        try:
            chunk = self.stream.read1(CHUNK_SIZE)
        except OSError as exc:
            raise describe_oserror(self.label, exc, "read") from None
        self.offset += len(chunk)
        if self.progress is not None:
            self.progress.update(len(chunk))
        return chunk

    def end_progress(self) -> None:
        """Wipe the bar, so that a message can take its line."""
        if self.progress is not None:
            self.progress.close()
            self.progress = None

    def close(self) -> None:
        self.end_progress()
        if self.owned:
            self.stream.close()

    def __enter__(self) -> "Input":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


@dataclass(frozen=True)
class Encoding:
    """An encoding name, how it was found, and Python's codec for it."""

    name: str
    how: str
    codec: codecs.CodecInfo


def lookup(name: str, label: str, how: str) -> codecs.CodecInfo:
    where = "given" if how == OPTION else f"named by the {how}"
    try:
        info = codecs.lookup(name)
    except LookupError:
        raise InputError(f"{label}: unknown encoding {name!r} ({where})") from None
    # Codecs such as base64 or rot13 are registered like the text encodings
    # but do not turn bytes into a str.
    if not getattr(info, "_is_text_encoding", True):
        raise InputError(f"{label}: {name!r} is not a text encoding ({where})")
    return info


def declares_encoding(head: bytes) -> bool:
    """Whether the XML declaration at the start of `head` has `encoding`."""
    # Latin-1 maps each byte to one code point, so the declaration's ASCII
    # structure survives; a rewrite happens exactly when the pseudo-attribute
    # is there.
    text = head.decode("latin-1")
    return native("_vexil").fixencoding(text, "", 1) is not text


def how_found(name: str, head: bytes) -> str:
    if head.startswith(BYTE_ORDER_MARKS) and name in ("utf-8-sig", "utf-16", "utf-32"):
        return BOM
    if head.startswith(DECLARATION_START):
        # Also when the name is one that a byte pattern gives: read from an
        # ASCII declaration it is only what the declaration claims.
        return DECLARATION if declares_encoding(head) else DEFAULT
    if name in PATTERN_ENCODINGS:
        return PATTERN
    return DEFAULT


def detect(source: Input) -> tuple[Encoding, bytes]:
    """Read until the encoding is named; returns it and the bytes read."""
    detectencoding = native("_vexil").detectencoding
    head = b""
    while True:
        chunk = source.read()
        final = not chunk
        head += chunk
        try:
            name = detectencoding(head, final)
        except UnicodeDecodeError:
            raise InputError(
                f"{source.label}: the encoding name in the XML declaration is not UTF-8"
            ) from None
        except ValueError as exc:
            raise InputError(f"{source.label}: {exc}") from None
        if name is not None:
            break
        if final:
            raise InputError(f"{source.label}: the input ends inside its XML declaration")
        if len(head) > DETECT_LIMIT:
            raise InputError(
                f"{source.label}: the XML declaration does not end"
                f" within the first {DETECT_LIMIT} bytes"
            )
    how = how_found(name, head)
    return Encoding(name, how, lookup(name, source.label, how)), head


def forced(name: str, label: str) -> Encoding:
    return Encoding(name, OPTION, lookup(name, label, OPTION))


class Document:
    """An input whose text is handed out piece by piece.

    `encoding` is known once the constructor returns; `pieces` then decodes
    the rest of the input as it is read. Decoding errors name the offset of
    the first bad byte in the file.
    """

    def __init__(self, source: Input, encoding: str | None = None) -> None:
        self.source = source
        self.label = source.label
        if encoding is None:
            self.encoding, self.head = detect(source)
        else:
            self.encoding, self.head = forced(encoding, source.label), b""
        self.characters = 0

    def _chunks(self) -> Iterator[bytes]:
        if self.head:
            yield self.head
            self.head = b""
        while chunk := self.source.read():
            yield chunk

    def pieces(self) -> Iterator[str]:
        decoder = self.encoding.codec.incrementaldecoder("strict")
        checked = self.encoding.how != DECLARATION
        start = ""
        try:
            for chunk in self._chunks():
                text = decoder.decode(chunk, False)
                if not checked:
                    start += text[:5]
                    checked = self._check_declared(start, final=False)
                if text:
                    self.characters += len(text)
                    yield text
            text = decoder.decode(b"", True)
        except UnicodeDecodeError as exc:
            # The error's object is the decoder's held bytes plus the chunk
            # just given, so it ends where the bytes read so far end.
            offset = self.source.offset - len(exc.object) + exc.start
            bad = exc.object[exc.start : exc.end].hex(" ")
            detail = (
                f"bytes at offset {offset} ({bad}) are not valid"
                f" {self.encoding.name}: {exc.reason}"
            )
            raise InputError(self._mismatch(detail)) from None
        except UnicodeError as exc:
            # Raised by decoders that refuse the stream as a whole, such as
            # UTF-16 without a byte-order mark (before Python 3.13).
            detail = f"cannot be decoded as {self.encoding.name}: {exc}"
            raise InputError(self._mismatch(detail)) from None
        if not checked:
            self._check_declared(start + text[:5], final=True)
        if text:
            self.characters += len(text)
            yield text

    def _check_declared(self, start: str, final: bool) -> bool:
        # The name was read from ASCII-compatible bytes spelling "<?xml"; an
        # encoding that does not decode them back to "<?xml" cannot be the
        # document's (a UTF-16 name in an ASCII file, say).
        if len(start) < 5 and not final:
            return False
        if not start.startswith("<?xml"):
            raise InputError(self._mismatch("its bytes do not spell the declaration"))
        return True

    def _mismatch(self, detail: str) -> str:
        if self.encoding.how == DECLARATION:
            return (
                f"{self.label}: the declared encoding {self.encoding.name!r}"
                f" does not fit the document ({detail})"
            )
        return f"{self.label}: {detail}"

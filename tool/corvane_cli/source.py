"""Opening an input for the commands: a file or standard input, read through
corvane_markup's documents, with the tool's messages and progress bar."""

from __future__ import annotations

import codecs
import io
import os
import stat
import sys

from .errors import USAGE, CliError, FileError, InputError, layer
from .progress import Progress, make_progress

TYPE_CHECKING = False
if TYPE_CHECKING:
    from corvane_markup import Document

CHUNK_SIZE = 64 * 1024


def option_codec(name: str, option: str) -> codecs.CodecInfo:
    """The codec of the document encoding an option names, or a usage error."""
    cm = layer()
    try:
        info: codecs.CodecInfo = cm.documents.text_codec(name, "", cm.documents.GIVEN)
    except cm.MarkupError as exc:
        raise CliError(f"{option}: {exc.message}", USAGE) from None
    return info


def describe_oserror(label: str, exc: OSError, doing: str) -> FileError:
    reason = exc.strerror or str(exc)
    return FileError(f"{label}: cannot {doing}: {reason}")


class Input(io.RawIOBase):
    """A file (or standard input for "-") as the binary stream a document
    reads, turning read errors into the tool's messages and counting the
    bytes for the progress bar."""

    def __init__(self, path: str, progress: bool = False) -> None:
        super().__init__()
        self.path = path
        self.label = "<stdin>" if path == "-" else path
        # Read by corvane_markup: the suffix helps to choose the mode.
        self.name = "" if path == "-" else path
        self.bar: Progress | None = None
        if path == "-":
            self.stream: io.BufferedReader = sys.stdin.buffer  # type: ignore[assignment]
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
        if info is not None and stat.S_ISDIR(info.st_mode):
            self.close()
            raise FileError(f"{self.label}: cannot read: Is a directory")
        size = info.st_size if info and stat.S_ISREG(info.st_mode) else None
        self.bar = make_progress(self.label, size, progress)

    def readable(self) -> bool:
        return True

    def read1(self, size: int = CHUNK_SIZE) -> bytes:
        """What has arrived, up to `size` bytes; b"" at the end."""
        try:
            chunk = self.stream.read1(size)
        except OSError as exc:
            raise describe_oserror(self.label, exc, "read") from None
        if self.bar is not None:
            self.bar.update(len(chunk))
        return chunk

    def read(self, size: int = -1) -> bytes:
        return self.read1(CHUNK_SIZE if size < 0 else size)

    def readinto(self, buffer: memoryview | bytearray) -> int:  # type: ignore[override]
        chunk = self.read1(len(buffer))
        buffer[: len(chunk)] = chunk
        return len(chunk)

    def end_progress(self) -> None:
        """Wipe the bar, so that a message can take its line."""
        if self.bar is not None:
            self.bar.close()
            self.bar = None

    def close(self) -> None:
        self.end_progress()
        if getattr(self, "owned", False):
            self.stream.close()
            self.owned = False
        super().close()


def open_input(source: Input, encoding: str | None = None, mode: str | None = None) -> Document:
    """The document read from `source`, its encoding named (or given)."""
    cm = layer()
    if encoding is not None:
        option_codec(encoding, "--encoding")
    try:
        doc = cm.open_document(source, encoding=encoding, mode=mode, name=source.label)
    except cm.MarkupError as exc:
        raise InputError(str(exc)) from None
    return doc  # type: ignore[no-any-return]

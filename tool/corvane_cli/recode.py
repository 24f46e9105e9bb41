"""corvane recode: write a document in another encoding."""

from __future__ import annotations

import argparse
import codecs
import os
import signal
import stat
import sys
import tempfile
import unicodedata
from collections.abc import Callable, Iterator
from contextlib import contextmanager, suppress
from typing import TYPE_CHECKING, BinaryIO

from .errors import OK, USAGE, CliError, FileError, InputError, layer, native, warn, writing
from .source import Input, describe_oserror, open_input, option_codec

if TYPE_CHECKING:
    from corvane_markup import Document

# A declaration still open after this many characters is not one to wait for.
DETECT_LIMIT = 64 * 1024

# The output's first bytes, kept to check that a reader will name the same
# encoding again.
OUTPUT_HEAD = 4096


def declared_name(name: str, codec: codecs.CodecInfo) -> str:
    # The byte-order mark says which; the declaration names the encoding
    # that other readers know.
    return "utf-8" if codec.name == "utf-8-sig" else name


def describe_character(ch: str) -> str:
    name = unicodedata.name(ch, "")
    return f"U+{ord(ch):04X}" + (f" {name}" if name else "") + f" {ch!r}"


class Position:
    """Where the next character of the input text stands."""

    def __init__(self) -> None:
        self.offset = 0
        self.line = 1
        self.column = 1

    def advance(self, text: str) -> None:
        self.offset += len(text)
        newlines = text.count("\n")
        if newlines:
            self.line += newlines
            self.column = len(text) - text.rfind("\n")
        else:
            self.column += len(text)

    def describe(self, text: str, index: int) -> str:
        at = Position()
        at.offset, at.line, at.column = self.offset, self.line, self.column
        at.advance(text[:index])
        return f"line {at.line}, column {at.column} (character {at.offset})"


class Transcoder:
    """Encodes the text piece by piece into `out`, tracking input positions."""

    def __init__(
        self,
        label: str,
        to: str,
        codec: codecs.CodecInfo,
        xmlcharrefs: bool,
        out: BinaryIO,
        out_label: str,
    ) -> None:
        self.label = label
        self.out_label = out_label
        self.to = to
        self.encoder = codec.incrementalencoder("xmlcharrefreplace" if xmlcharrefs else "strict")
        self.out = out
        self.position = Position()
        self.head = b""
        self.all_ascii = True
        self.written = 0

    def _put(self, data: bytes) -> None:
        if len(self.head) < OUTPUT_HEAD:
            self.head += data[: OUTPUT_HEAD - len(self.head)]
        self.all_ascii = self.all_ascii and data.isascii()
        self.written += len(data)
        writing(self.out_label, self.out.write, data)

    def _unencodable(self, exc: UnicodeEncodeError, where: str) -> InputError:
        return InputError(
            f"{self.label}: character {describe_character(exc.object[exc.start])}"
            f" at {where} cannot be encoded in {self.to};"
            " --xmlcharrefs writes such characters as character references"
        )

    def text(self, text: str) -> None:
        try:
            data = self.encoder.encode(text)
        except UnicodeEncodeError as exc:
            raise self._unencodable(exc, self.position.describe(text, exc.start)) from None
        self._put(data)
        self.position.advance(text)

    def rewritten(self, original: str, replacement: str) -> None:
        """The declaration's start, `original` in the input, as rewritten."""
        # Both begin alike up to the encoding's value; a character that
        # cannot be encoded before it is at the same place in the input.
        same = common_start(original, replacement)
        try:
            data = self.encoder.encode(replacement)
        except UnicodeEncodeError as exc:
            if exc.start >= same:
                raise InputError(f"{self.label}: the encoding name cannot be written in {self.to}") from None
            raise self._unencodable(exc, self.position.describe(original, exc.start)) from None
        self._put(data)
        self.position.advance(original)

    def finish(self) -> None:
        self._put(self.encoder.encode("", True))


def common_start(a: str, b: str) -> int:
    """How many characters a and b share from their start."""
    n = 0
    limit = min(len(a), len(b))
    while n < limit and a[n] == b[n]:
        n += 1
    return n


def split_rewrite(head: str, fixed: str) -> tuple[str, str, str]:
    """(start of head, its rewrite, the rest of head that stays as it was)."""
    limit = min(len(head), len(fixed))
    tail = 0
    while tail < limit and head[-1 - tail] == fixed[-1 - tail]:
        tail += 1
    tail = min(tail, limit - common_start(head, fixed))
    return head[: len(head) - tail], fixed[: len(fixed) - tail], head[len(head) - tail :]


def transcode(doc: Document, transcoder: Transcoder, name: str) -> None:
    fixencoding = native("_vexil").fixencoding
    head = ""
    settled = False
    for piece in decoded(doc):
        if settled:
            transcoder.text(piece)
            continue
        head += piece
        settled = settle_head(transcoder, fixencoding, head, name, final=False)
        if not settled and len(head) > DETECT_LIMIT:
            raise InputError(
                f"{transcoder.label}: the XML declaration does not end within the first {DETECT_LIMIT} characters"
            )
    if not settled:
        settle_head(transcoder, fixencoding, head, name, final=True)
    transcoder.finish()


def decoded(doc: Document) -> Iterator[str]:
    cm = layer()
    try:
        yield from doc.text()
    except cm.MarkupError as exc:
        raise InputError(str(exc)) from None


def settle_head(
    transcoder: Transcoder,
    fixencoding: Callable[[str, str, int], str | None],
    head: str,
    name: str,
    final: bool,
) -> bool:
    """Write the text read so far once the declaration's rewrite is known."""
    try:
        fixed = fixencoding(head, name, int(final))
    except ValueError as exc:
        raise InputError(f"{transcoder.label}: {exc}") from None
    if fixed is None:
        return False
    if fixed is head:
        transcoder.text(head)
    else:
        original, replacement, rest = split_rewrite(head, fixed)
        transcoder.rewritten(original, replacement)
        transcoder.text(rest)
    return True


def hold_interrupts() -> set[int | signal.Signals] | None:
    if not hasattr(signal, "pthread_sigmask"):
        return None
    return signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})


def release_interrupts(held: set[int | signal.Signals] | None) -> None:
    if held is not None:
        signal.pthread_sigmask(signal.SIG_SETMASK, held)


@contextmanager
def replacing(path: str) -> Iterator[BinaryIO]:
    """A temporary file beside `path`, renamed over it only on success."""
    directory = os.path.dirname(path) or "."
    # An interrupt between the file's creation and the cleanup's try would
    # leave the file behind; it waits until the try is entered.
    held = hold_interrupts()
    try:
        fd, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp", dir=directory)
    except OSError as exc:
        release_interrupts(held)
        reason = exc.strerror or str(exc)
        raise FileError(f"{path}: cannot write: no new file can be made in {directory} ({reason})") from None
    try:
        release_interrupts(held)
        with os.fdopen(fd, "wb") as out:
            yield out
            out.flush()
            os.fsync(out.fileno())
        keep_mode_and_owner(path, temporary)
        try:
            os.replace(temporary, path)
        except OSError as exc:
            raise describe_oserror(path, exc, "replace") from None
    except BaseException:
        with suppress(OSError):
            os.unlink(temporary)
        raise


def keep_mode_and_owner(path: str, temporary: str) -> None:
    try:
        info = os.stat(path)
    except FileNotFoundError:
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(temporary, 0o666 & ~mask)
        return
    # Run by root on another user's file, the new file stays theirs.
    with suppress(OSError):
        os.chown(temporary, info.st_uid, info.st_gid)
    os.chmod(temporary, stat.S_IMODE(info.st_mode))


def same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def check_identified(transcoder: Transcoder, codec: codecs.CodecInfo, to: str, label: str) -> None:
    """Warn when a reader of the output would not name `to` again."""
    cm = layer()
    complete = transcoder.written <= len(transcoder.head)
    reader = cm.TextDecoder(label)
    try:
        reader.decode(transcoder.head, complete)
        seen = reader.encoding
        seen_codec = codecs.lookup(seen).name if seen is not None else None
    except (cm.MarkupError, LookupError):
        seen, seen_codec = None, None
    if seen_codec == codec.name:
        return
    ascii_compatible = "<?xml".encode(codec.name) == b"<?xml"
    if seen_codec == "utf-8" and ascii_compatible and transcoder.all_ascii:
        return
    warn(
        f"{label}: a reader will take this output as {seen or 'undecided'}, not {to};"
        " no byte-order mark or XML declaration names it"
    )


def output_target(path: str) -> tuple[str, bool]:
    """Where -o writes, and whether through a temporary file and a rename.

    A regular file, or a new path, is replaced whole, so that a failure
    leaves it as it was; a symbolic link is followed and the file it names
    replaced, the link kept. Anything else (a device such as /dev/null, a
    FIFO, a socket, a terminal) cannot be replaced without harm: it is
    opened and written to as it is.
    """
    try:
        info = os.stat(path)
    except FileNotFoundError:
        # A new path, or a link to one: made where the link points.
        return os.path.realpath(path), True
    except OSError as exc:
        raise describe_oserror(path, exc, "write") from None
    if stat.S_ISDIR(info.st_mode):
        raise FileError(f"{path}: cannot write: Is a directory")
    if stat.S_ISREG(info.st_mode):
        return os.path.realpath(path), True
    return path, False


def recode(args: argparse.Namespace) -> int:
    codec = option_codec(args.to, "--to")
    if args.in_place and args.output is not None:
        raise CliError("--in-place and -o exclude each other", USAGE)
    if args.in_place and args.file == "-":
        raise CliError("--in-place needs a file, not standard input", USAGE)
    target: str | None = None
    replace = True
    if args.in_place:
        target = os.path.realpath(args.file)
    elif args.output not in (None, "-"):
        target, replace = output_target(args.output)
        if args.file != "-" and same_file(args.file, target):
            raise FileError(f"{args.output}: this is the input file; --in-place rewrites it")
    name = declared_name(args.to, codec)
    label = args.output if args.output not in (None, "-") else (target or "<stdout>")
    with Input(args.file, progress=args.progress) as source:
        with open_input(source, args.encoding) as doc:
            with output_stream(target, replace, label) as out:
                transcoder = Transcoder(source.label, args.to, codec, args.xmlcharrefs, out, label)
                transcode(doc, transcoder, name)
    check_identified(transcoder, codec, args.to, label)
    return OK


@contextmanager
def output_stream(target: str | None, replace: bool, label: str) -> Iterator[BinaryIO]:
    if target is None:
        yield sys.stdout.buffer
        writing(label, sys.stdout.buffer.flush)
    elif replace:
        with replacing(target) as out:
            yield out
    else:
        try:
            direct = open(target, "wb")
        except OSError as exc:
            raise describe_oserror(label, exc, "write") from None
        try:
            yield direct
            writing(label, direct.flush)
        finally:
            with suppress(OSError):
                direct.close()

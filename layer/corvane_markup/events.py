"""Events: a document's markup as a stream of whole events, pulled with a
for loop (events) or pushed piece by piece (EventParser)."""

from __future__ import annotations

import io
from collections.abc import Callable, Iterator, Mapping

import _sheaf
import corvane

from .documents import Document, TextDecoder, choose_mode, open_document
from .errors import MarkupError, UnfinishedError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from .documents import Mode, Source

    # The native type, described here so that type checkers see it whether
    # or not they find the native module's stub.
    class Event(tuple[str, str, Any]):
        """One event of a document: kind, name and value."""

        @property
        def kind(self) -> str: ...
        @property
        def name(self) -> str: ...
        @property
        def value(self) -> Any: ...
else:
    Event = _sheaf.Event

# Text runs longer than this are handed on in pieces of exactly this size.
TEXT_LIMIT = 64 * 1024
# The parser holds an unfinished construct until its end arrives; past this
# many characters it is not waited for.
MAX_CONSTRUCT = 8 * 1024 * 1024
# Enough of the text's start to tell an XML declaration or an HTML page.
MODE_SNIFF = 64
# The parser scans a held name or reference from its start again with each
# piece. While one at least this long is held, pieces are gathered until
# there is as much new text as it holds, so that the scans stay linear.
GATHER_FROM = 64 * 1024

# Fed after the last piece while the parser still holds something. The
# constructs that need one character after their end (a comment, a CDATA
# section, "<br/>" in SGML) then complete, and the mark, which cannot go on
# any construct, comes back as the last character of the text and is taken
# off again. Inside a truly unfinished construct it stays held.
END_MARK = "\uffff"


# The named references of HTML, without their ";", for `entities`.
class _HTMLEntities(Mapping[str, str]):
    """HTML's table, read from the standard library when first used: most
    programs never look a name up in it."""

    def __init__(self) -> None:
        self._table: dict[str, str] | None = None

    def _loaded(self) -> dict[str, str]:
        if self._table is None:
            import html.entities

            self._table = {name[:-1]: text for name, text in html.entities.html5.items() if name.endswith(";")}
        return self._table

    def __getitem__(self, name: str) -> str:
        return self._loaded()[name]

    def __iter__(self) -> Iterator[str]:
        return iter(self._loaded())

    def __len__(self) -> int:
        return len(self._loaded())


HTML_ENTITIES: Mapping[str, str] = _HTMLEntities()


class _Feeder:
    """Text into one parser, with a collector as its target.

    It keeps the text that the parser holds back, so that an unfinished
    construct at the end can be shown, and counts characters for messages.
    """

    def __init__(
        self, mode: Mode, collector: _sheaf.Collector, name: str, normalize: bool, max_construct: int
    ) -> None:
        self.parser = corvane.XMLParser() if mode == "xml" else corvane.SGMLParser()
        self.parser.register(collector)
        collector.follow(self.parser)
        self.collector = collector
        self.name = name
        self.max_construct = max_construct
        # XML reads every line end as a line feed, before anything is parsed.
        self.newlines = io.IncrementalNewlineDecoder(None, translate=True) if normalize and mode == "xml" else None
        self.pending_cr = False
        self.fed = 0
        self.held = 0
        self.tail: list[str] = []  # pieces ending with the held text
        self.tail_length = 0
        self.waiting: list[str] = []  # gathered while a long construct is held
        self.waiting_length = 0

    def feed(self, text: str) -> None:
        # Most texts have no carriage return, and need no pass to find one.
        if self.newlines is not None and (self.pending_cr or "\r" in text):
            text = self.newlines.decode(text)
            self.pending_cr = bool(self.newlines.getstate()[1] & 1)
        if not text:
            return
        if self.held >= GATHER_FROM:
            self.waiting.append(text)
            self.waiting_length += len(text)
            if self.waiting_length < self.held and self.held + self.waiting_length <= self.max_construct:
                return
            text = self._gathered()
        self._feed(text)

    def _gathered(self) -> str:
        text = "".join(self.waiting)
        self.waiting = []
        self.waiting_length = 0
        return text

    def _feed(self, text: str) -> None:
        held = self.parser.feed(text)
        self.fed += len(text)
        self.held = held
        self._keep_tail(text)
        if held > self.max_construct:
            raise MarkupError(
                f"a construct that starts at character {self.fed - held} is still open after {held} characters",
                self.name,
            )

    def _keep_tail(self, text: str) -> None:
        held = self.held
        if held <= len(text):
            self.tail = [text[len(text) - held :]] if held else []
            self.tail_length = held
            return
        self.tail.append(text)
        self.tail_length += len(text)
        while self.tail_length - len(self.tail[0]) >= held:
            self.tail_length -= len(self.tail.pop(0))

    def held_text(self) -> str:
        return "".join(self.tail)[self.tail_length - self.held :]

    def close(self) -> None:
        if self.newlines is not None:
            self.waiting.append(self.newlines.decode("", final=True))
        if any(self.waiting):
            self._feed(self._gathered())
        unfinished = self._end()
        self.parser.close()
        self.collector.finish()
        if unfinished is not None:
            raise UnfinishedError(unfinished, self.fed - self.held, self.name)

    def _end(self) -> str | None:
        """Completes what the end of the input completes; returns the text of
        a construct that stays unfinished, or None."""
        if not self.held:
            return None
        text = self.held_text()
        if text == "&":
            self.collector.handle_text(text)
            return None
        if text.startswith("&"):
            # A reference cut off by the end ends there, as it would at a
            # space; ";" ends it and is taken with it.
            return None if self._feed_end(";") == 0 else text
        self.collector.mark()
        if self._feed_end(END_MARK) == 0:
            self.collector.unmark()
            return None
        return text

    def _feed_end(self, end: str) -> int:
        return int(self.parser.feed(end))


class _Pipeline:
    """Bytes or text in, collected output out: the common engine of the
    push parsers and the pull functions."""

    def __init__(
        self,
        make_collector: Callable[[Mode], _sheaf.Collector],
        mode: Mode | None,
        encoding: str | None,
        name: str,
        path: str,
        normalize: bool,
        max_construct: int,
    ) -> None:
        self._make_collector = make_collector
        self.mode = mode
        self._encoding = encoding
        self.name = name
        self._path = path
        self._normalize = normalize
        self._max_construct = max_construct
        self._decoder: TextDecoder | None = None
        self._takes_text: bool | None = None
        self._start: list[str] = []
        self._feeder: _Feeder | None = None
        self._error: MarkupError | None = None
        self._closed = False

    def feed(self, data: bytes | bytearray | memoryview | str) -> None:
        if self._error is not None:
            raise self._error
        if self._closed:
            raise MarkupError("the parser is closed", self.name)
        is_text = isinstance(data, str)
        if self._takes_text is None:
            self._takes_text = is_text
        elif self._takes_text != is_text:
            raise TypeError("feed either bytes or str to one parser, not both")
        try:
            if isinstance(data, str):
                self._text(data)
                return
            if self._decoder is None:
                self._decoder = TextDecoder(self.name, self._encoding, self.mode, self._path)
            self._bytes(data, False)
        except MarkupError as exc:
            self.fail(exc)
            raise
        except BaseException as exc:
            # An interrupt, or an error of the interpreter's, in the middle of
            # a piece: the parser would report that piece's start again, so
            # the input ends here too.
            self.fail(MarkupError(f"reading stopped at {type(exc).__name__}", self.name))
            raise

    def _bytes(self, data: bytes | bytearray | memoryview, final: bool) -> None:
        assert self._decoder is not None
        text = self._decoder.decode(data, final)
        if self.mode is None:
            self.mode = self._decoder.mode
        self._text(text)
        # The text before a bad byte has been parsed; now the error stands.
        if self._decoder.error is not None:
            raise self._decoder.error

    def _text(self, text: str) -> None:
        if self._feeder is None:
            if self.mode is None:
                self._start.append(text)
                start = "".join(self._start)
                if len(start.lstrip("\ufeff \t\r\n")) < MODE_SNIFF:
                    return
                self._start = []
                text = start
            self._begin()
        assert self._feeder is not None
        self._feeder.feed(text)

    def _begin(self) -> None:
        start = "".join(self._start)
        self._start = []
        if self.mode is None:
            self.mode = choose_mode(start, self._path)
        self._feeder = _Feeder(
            self.mode, self._make_collector(self.mode), self.name, self._normalize, self._max_construct
        )
        if start:
            self._feeder.feed(start)

    def close(self) -> None:
        if self._error is not None:
            raise self._error
        if self._closed:
            return
        try:
            if self._decoder is not None:
                self._bytes(b"", True)
            if self._feeder is None:
                self._begin()
            self._closed = True
            assert self._feeder is not None
            self._feeder.close()
        except MarkupError as exc:
            self.fail(exc)
            raise

    def fail(self, exc: MarkupError) -> None:
        """Ends the input at an error: what came before it is complete and
        goes out with the pending text; nothing is read after it."""
        if self._error is not None:
            return
        self._error = exc
        self._closed = True
        if self._feeder is not None:
            self._feeder.collector.finish()

    def take(self) -> list[Any]:
        if self._feeder is None:
            return []
        return self._feeder.collector.take()

    def counts(self) -> tuple[dict[str, int], dict[str, int]]:
        if self._feeder is None:
            return {}, {}
        found: tuple[dict[str, int], dict[str, int]] = self._feeder.collector.counts()
        return found


def _run(pipeline: _Pipeline, doc: Document, owned: bool) -> Iterator[Any]:
    try:
        for text in doc.text():
            pipeline.feed(text)
            yield from pipeline.take()
        pipeline.close()
    except MarkupError as exc:
        pipeline.fail(exc)
        yield from pipeline.take()
        raise
    finally:
        if owned:
            doc.close()
    yield from pipeline.take()


def _document(source: Source | Document, encoding: str | None, mode: Mode | None) -> tuple[Document, bool]:
    if isinstance(source, Document):
        return source, False
    return open_document(source, encoding=encoding, mode=mode), True


def _event_collector(
    text_limit: int, entities: Mapping[str, str] | None, namespaces: bool, normalize: bool, counting: bool = False
) -> Callable[[Mode], _sheaf.Collector]:
    table = dict(entities) if entities is not None else None
    if text_limit < 1:
        raise ValueError("text_limit must be at least 1")

    def make(mode: Mode) -> _sheaf.Collector:
        xml = mode == "xml"
        return _sheaf.Collector(
            xml=xml,
            text_limit=text_limit,
            entities=table,
            namespaces=namespaces,
            normalise=normalize and xml,
            counting=counting,
        )

    return make


class EventParser:
    """The push form: feed bytes or str as they come, read the events so far.

    >>> parser = EventParser("xml")
    >>> parser.feed("<p>Hello, <b>world</b></p")
    >>> [e.kind for e in parser.read_events()]
    ['start', 'text', 'start', 'text', 'end']
    >>> parser.feed(">")
    >>> parser.close()
    >>> list(parser.read_events())
    [corvane_markup.Event(kind='end', name='p', value=None)]

    Fed bytes, it names the encoding from them as TextDecoder does; fed str,
    it takes the text as it is. Without a `mode` it chooses one from the first
    text, as choose_mode does. Text is handed on once the markup after it
    arrives (or at close), so the events do not depend on how the input is
    cut. The options are those of events().

    With `counting`, no event is made: counts() tells how many of each kind
    there were and how many start tags of each element name, as the events
    would have been, for a fraction of the cost.

    >>> parser = EventParser("xml", counting=True)
    >>> parser.feed("<p>Hello, <b>world</b> &amp; all</p>")
    >>> parser.close()
    >>> parser.counts()
    ({'start': 2, 'end': 2, 'text': 3}, {'p': 1, 'b': 1})
    """

    def __init__(
        self,
        mode: Mode | None = None,
        *,
        encoding: str | None = None,
        name: str = "",
        text_limit: int = TEXT_LIMIT,
        entities: Mapping[str, str] | None = None,
        namespaces: bool = False,
        normalize: bool = True,
        max_construct: int = MAX_CONSTRUCT,
        counting: bool = False,
    ) -> None:
        self._pipeline = _Pipeline(
            _event_collector(text_limit, entities, namespaces, normalize, counting),
            mode,
            encoding,
            name,
            "",
            normalize,
            max_construct,
        )

    @property
    def mode(self) -> Mode | None:
        """The mode in use, once it is known."""
        return self._pipeline.mode

    def feed(self, data: bytes | bytearray | memoryview | str) -> None:
        """Parses the next piece of the input; a MarkupError ends the input
        (the events before it can still be read)."""
        self._pipeline.feed(data)

    def close(self) -> None:
        """Ends the input; raises UnfinishedError when it ends inside a
        construct (the events before it can still be read)."""
        self._pipeline.close()

    def read_events(self) -> Iterator[Event]:
        """The events since the last call."""
        return iter(self._pipeline.take())

    def counts(self) -> tuple[dict[str, int], dict[str, int]]:
        """With `counting`: (events by kind, start tags by element name) so
        far; the text pending at the end counts once the input is closed."""
        return self._pipeline.counts()


def events(
    source: Source | Document,
    *,
    mode: Mode | None = None,
    encoding: str | None = None,
    text_limit: int = TEXT_LIMIT,
    entities: Mapping[str, str] | None = None,
    namespaces: bool = False,
    normalize: bool = True,
    max_construct: int = MAX_CONSTRUCT,
) -> Iterator[Event]:
    """The events of a document, read and parsed piece by piece.

    `source` is what open_document takes (a path, bytes, a binary file), or
    a Document. Each event is an Event (kind, name, value):

    ===========  ==================  ==========================================
    kind         name                value
    ===========  ==================  ==========================================
    start        element name        attributes: a list of (name, value) pairs
    end          element name        None
    text         ""                  the text, adjacent runs joined, in pieces
                                     of at most `text_limit` characters
    comment      ""                  the comment's text
    cdata        ""                  the CDATA section's text
    pi           target              the processing instruction's data
    declaration  ""                  a declaration's text after "<!"; the
                                     internal subset of a document type comes
                                     in pieces: the part before "[", each
                                     declaration, a parameter-entity
                                     reference by name, "" for the "]"
    entity       reference name      None: a reference the parser leaves
                                     unresolved
    ===========  ==================  ==========================================

    The five predefined entities and numeric character references are
    resolved into the text; `entities` maps further names to their text
    (HTML_ENTITIES holds those of HTML). A reference left unresolved inside
    an attribute value stays in it as written, "&name;".

    In XML mode (`normalize`, the default) line ends are read as line feeds
    and tabs and line ends in attribute values become spaces, as XML
    requires. In SGML mode element and attribute names are lower-cased.
    With `namespaces`, names become "{uri}local" and the namespace
    declarations are not reported as attributes.

    A construct that the end of the input leaves unfinished raises
    UnfinishedError after every event before it; one that stays open for
    more than `max_construct` characters raises MarkupError.
    """
    doc, owned = _document(source, encoding, mode)
    pipeline = _Pipeline(
        _event_collector(text_limit, entities, namespaces, normalize),
        doc.mode,
        None,
        doc.name,
        "",
        normalize,
        max_construct,
    )
    return _run(pipeline, doc, owned)

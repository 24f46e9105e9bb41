"""A document's events, in batches, through corvane_markup's push parser."""

from __future__ import annotations

from collections.abc import Iterator

from .errors import InputError, layer, warn

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from corvane_markup import Document

    from .source import Input

EVENT_KINDS = ("start", "end", "text", "entity", "comment", "cdata", "pi", "declaration")


class Reading:
    """The events of a document and what was read for them.

    Iterating gives lists of events, one list for each piece of text read,
    so that a consumer pays per piece, not per event, for what it does
    around them. `characters` counts the decoded text. With `counting` no
    event is made, and `counts` is what the events would have been:
    (events by kind, start tags by element name).
    """

    def __init__(self, doc: Document, source: Input, counting: bool = False) -> None:
        self.doc = doc
        self.source = source
        self.label = source.label
        self.counting = counting
        self.characters = 0
        self.counts: tuple[dict[str, int], dict[str, int]] = ({}, {})

    def __iter__(self) -> Iterator[list[Any]]:
        cm = layer()
        parser = cm.EventParser(self.doc.mode, name=self.label, counting=self.counting)

        def take() -> list[Any]:
            if self.counting:
                self.counts = parser.counts()
            return list(parser.read_events())

        try:
            for text in self.doc.text():
                self.characters += len(text)
                parser.feed(text)
                events = take()
                if events:
                    yield events
            parser.close()
        except cm.UnfinishedError as exc:
            yield take()
            self.unfinished(exc.offset, len(exc.text))
            return
        except cm.MarkupError as exc:
            yield take()
            raise InputError(str(exc)) from None
        events = take()
        if events:
            yield events

    def unfinished(self, offset: int, length: int) -> None:
        # The parser is tolerant: what it could not finish is said, not fatal.
        self.source.end_progress()
        warn(
            f"{self.label}: the input ends inside an unfinished construct at character"
            f" {offset}; its last {length} characters were not reported"
        )

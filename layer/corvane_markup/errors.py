"""The exceptions of corvane_markup; all are ValueErrors, and all pickle (a
process pool hands them back to the parent)."""

from __future__ import annotations


class MarkupError(ValueError):
    """A document that cannot be read as markup.

    `name` names the document (its path, or what the caller called it).
    """

    def __init__(self, message: str, name: str = "") -> None:
        super().__init__(message, name)
        self.message = message
        self.name = name

    def __str__(self) -> str:
        return f"{self.name}: {self.message}" if self.name else self.message


class DecodingError(MarkupError):
    """The bytes cannot be turned into text: an unknown or wrong encoding,
    undecodable bytes, a malformed XML declaration, a damaged compressed stream.

    `offset` is the byte offset of the first bad byte in the (decompressed)
    input, or None where no single byte is to blame.
    """

    def __init__(self, message: str, name: str = "", offset: int | None = None) -> None:
        super().__init__(message, name)
        self.args = (message, name, offset)
        self.offset = offset


class UnfinishedError(MarkupError):
    """The input ends inside a construct that never completes (an unclosed
    comment, tag or CDATA section).

    Everything before the construct has been reported when this is raised.
    `text` is the construct as written and `offset` the character offset
    where it begins.
    """

    def __init__(self, text: str, offset: int, name: str = "") -> None:
        shown = text if len(text) <= 40 else text[:37] + "..."
        super().__init__(
            f"the input ends inside an unfinished construct at character {offset}: {shown!r}",
            name,
        )
        self.args = (text, offset, name)
        self.text = text
        self.offset = offset


# Shown, and pickled, under the package's own name.
for _error in (MarkupError, DecodingError, UnfinishedError):
    _error.__module__ = "corvane_markup"

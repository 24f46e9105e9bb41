"""Documents, events and trees from XML and SGML markup, on the corvane
parser.

- open_document: a path, bytes or binary file, decompressed and decoded;
- events / EventParser: the markup as whole events, pulled or pushed;
- iterparse / parse / fromstring / TreeParser: xml.etree.ElementTree trees;
- run_corpus / map_documents / on_dask: one job over many documents.
"""

from .corpus import element_counts, map_documents, merge, merge_all, on_dask, run_corpus
from .documents import Document, TextDecoder, choose_mode, open_document
from .errors import DecodingError, MarkupError, UnfinishedError
from .events import END_MARK, HTML_ENTITIES, MAX_CONSTRUCT, TEXT_LIMIT, Event, EventParser, events

# Not typing's: loading typing would add to every start-up.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from .trees import VOID_ELEMENTS, TreeParser, fromstring, iterparse, parse

# The trees load xml.etree when they are first asked for, so that a program
# that only reads events does not start up with it.
_TREES = frozenset({"VOID_ELEMENTS", "TreeParser", "fromstring", "iterparse", "parse"})


def __getattr__(name: str) -> object:
    if name in _TREES:
        from . import trees

        return getattr(trees, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = [
    "DecodingError",
    "Document",
    "END_MARK",
    "Event",
    "EventParser",
    "HTML_ENTITIES",
    "MAX_CONSTRUCT",
    "MarkupError",
    "TEXT_LIMIT",
    "TextDecoder",
    "TreeParser",
    "UnfinishedError",
    "VOID_ELEMENTS",
    "choose_mode",
    "element_counts",
    "events",
    "fromstring",
    "iterparse",
    "map_documents",
    "merge",
    "merge_all",
    "on_dask",
    "open_document",
    "parse",
    "run_corpus",
]

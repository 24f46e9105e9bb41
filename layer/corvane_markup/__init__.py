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
from .trees import VOID_ELEMENTS, TreeParser, fromstring, iterparse, parse

__all__ = [
    "DecodingError", "Document", "END_MARK", "Event", "EventParser", "HTML_ENTITIES",
    "MAX_CONSTRUCT", "MarkupError", "TEXT_LIMIT", "TextDecoder", "TreeParser",
    "UnfinishedError", "VOID_ELEMENTS", "choose_mode", "element_counts", "events",
    "fromstring", "iterparse", "map_documents", "merge", "merge_all", "on_dask",
    "open_document", "parse", "run_corpus",
]

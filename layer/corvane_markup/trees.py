"""Trees: xml.etree.ElementTree elements built from the events, with the
nesting repaired where the markup leaves it broken."""

from __future__ import annotations

import xml.etree.ElementTree as ET
from collections.abc import Iterable, Iterator, Mapping

import _sheaf

from .doctype import Declarations
from .documents import Document
from .errors import MarkupError
from .events import MAX_CONSTRUCT, _document, _Pipeline, _run

TYPE_CHECKING = False
if TYPE_CHECKING:
    from .documents import Mode, Source

# The HTML elements that never have content: they are closed right after
# their start tag.
VOID_ELEMENTS = frozenset(
    {
        "area",
        "base",
        "basefont",
        "bgsound",
        "br",
        "col",
        "embed",
        "frame",
        "hr",
        "img",
        "input",
        "keygen",
        "link",
        "meta",
        "param",
        "source",
        "track",
        "wbr",
    }
)

TREE_EVENTS = frozenset({"start", "end"})


class _Tree:
    """A builder and the collector that drives it."""

    def __init__(
        self,
        events: Iterable[str],
        entities: Mapping[str, str] | None,
        namespaces: bool,
        comments: bool,
        pis: bool,
        normalize: bool,
    ) -> None:
        wanted = set(events)
        unknown = wanted - TREE_EVENTS
        if unknown:
            raise ValueError(f"unknown tree event {sorted(unknown)[0]!r} (there are 'start' and 'end')")
        self.wanted = wanted
        self.entities = dict(entities) if entities is not None else None
        self.namespaces = namespaces
        self.comments = comments
        self.pis = pis
        self.normalize = normalize
        self.builder: ET.TreeBuilder | None = None

    def make(self, mode: Mode) -> _sheaf.Collector:
        self.builder = ET.TreeBuilder(insert_comments=self.comments, insert_pis=self.pis)
        xml = mode == "xml"
        entities = dict(self.entities or {})
        declarations = Declarations(entities) if xml else None
        return _sheaf.Collector(
            xml=xml,
            entities=entities,
            namespaces=self.namespaces,
            declarations=declarations,
            defaults=declarations.defaults if declarations else None,
            tokenized=declarations.tokenized if declarations else None,
            normalise=self.normalize and xml,
            builder=self.builder,
            comments=self.comments,
            pis=self.pis,
            voids=None if xml else VOID_ELEMENTS,
            report_start="start" in self.wanted,
            report_end="end" in self.wanted,
        )

    def root(self, name: str) -> ET.Element:
        root = self.builder.close() if self.builder is not None else None
        if root is None:
            raise MarkupError("the document has no element", name)
        return root


def _pipeline(
    tree: _Tree, mode: Mode | None, encoding: str | None, name: str, normalize: bool, max_construct: int
) -> _Pipeline:
    return _Pipeline(tree.make, mode, encoding, name, "", normalize, max_construct)


class TreeParser:
    """The push form of iterparse: feed bytes or str as they come, read the
    ("start", element) and ("end", element) pairs so far, and get the root
    from close(). The options are those of iterparse()."""

    def __init__(
        self,
        mode: Mode | None = None,
        *,
        events: Iterable[str] = ("end",),
        encoding: str | None = None,
        name: str = "",
        entities: Mapping[str, str] | None = None,
        namespaces: bool = False,
        comments: bool = False,
        pis: bool = False,
        normalize: bool = True,
        max_construct: int = MAX_CONSTRUCT,
    ) -> None:
        self._tree = _Tree(events, entities, namespaces, comments, pis, normalize)
        self._name = name
        self._pipeline = _pipeline(self._tree, mode, encoding, name, normalize, max_construct)

    def feed(self, data: bytes | bytearray | memoryview | str) -> None:
        self._pipeline.feed(data)

    def close(self) -> ET.Element:
        """Ends the input and returns the root element."""
        self._pipeline.close()
        return self._tree.root(self._name)

    def read_events(self) -> Iterator[tuple[str, ET.Element]]:
        return iter(self._pipeline.take())


def iterparse(
    source: Source | Document,
    events: Iterable[str] = ("end",),
    *,
    mode: Mode | None = None,
    encoding: str | None = None,
    entities: Mapping[str, str] | None = None,
    namespaces: bool = False,
    comments: bool = False,
    pis: bool = False,
    normalize: bool = True,
    max_construct: int = MAX_CONSTRUCT,
) -> Iterator[tuple[str, ET.Element]]:
    """("start", element) and ("end", element) pairs as the tree is built.

    As with xml.etree.ElementTree.iterparse, an element is complete at its
    "end" pair, and the elements are those of the one tree, so a loop may
    clear what it has done with. The tree is built by these rules:

    - the first element is the root; text before it has no place in the
      tree and is left out;
    - an end tag closes the nearest open element of its name and every
      element opened inside it; an end tag that matches no open element is
      dropped; an empty end tag ("</>", or SGML's "/" that ends an element
      written "<b/bold/") closes the innermost element;
    - the root's own end tag closes everything inside it but leaves the
      root open: the white space right after the end tag is left out, and
      an element or text that still follows is added to the root rather
      than lost;
    - in SGML mode the HTML void elements (VOID_ELEMENTS) take no children;
    - at the end of the input every open element is closed;
    - CDATA sections are text; comments and processing instructions go into
      the tree only when `comments` or `pis` is true (and only inside the
      root), as with xml.etree.ElementTree.TreeBuilder; declarations are
      left out;
    - a reference that stays unresolved is text as written, "&name;";
    - in XML mode the internal subset of the document type is read for
      default attribute values, attributes whose values are tokens (their
      spaces collapsed) and general entities whose replacement is text;
      nothing external is fetched.

    For well-formed XML with `namespaces` this is the tree that
    xml.etree.ElementTree.parse builds; without it, names stay as written
    ("svg:rect", "xml:lang") and the xmlns attributes are kept. The other
    options are those of events().
    """
    tree = _Tree(events, entities, namespaces, comments, pis, normalize)
    doc, owned = _document(source, encoding, mode)
    pipeline = _pipeline(tree, doc.mode, None, doc.name, normalize, max_construct)
    return _run(pipeline, doc, owned)


def parse(
    source: Source | Document,
    *,
    mode: Mode | None = None,
    encoding: str | None = None,
    entities: Mapping[str, str] | None = None,
    namespaces: bool = False,
    comments: bool = False,
    pis: bool = False,
    normalize: bool = True,
    max_construct: int = MAX_CONSTRUCT,
) -> ET.ElementTree:
    """The document as an xml.etree.ElementTree.ElementTree, built by the
    rules of iterparse(), whose options these are."""
    tree = _Tree((), entities, namespaces, comments, pis, normalize)
    doc, owned = _document(source, encoding, mode)
    pipeline = _pipeline(tree, doc.mode, None, doc.name, normalize, max_construct)
    for _ in _run(pipeline, doc, owned):
        pass
    return ET.ElementTree(tree.root(doc.name))


def fromstring(
    text: str | bytes,
    *,
    mode: Mode | None = None,
    encoding: str | None = None,
    entities: Mapping[str, str] | None = None,
    namespaces: bool = False,
    comments: bool = False,
    pis: bool = False,
    normalize: bool = True,
    max_construct: int = MAX_CONSTRUCT,
) -> ET.Element:
    """The root element of a document held in a str (taken as it is) or in
    bytes (its encoding named as for a file); see iterparse() for the rest.

    >>> root = fromstring("<ul><li>one</li><li>two<br>three</ul>", mode="sgml")
    >>> [(li.text, len(li)) for li in root]
    [('one', 0), ('two', 1)]
    """
    parser = TreeParser(
        mode,
        events=(),
        encoding=encoding,
        name="<string>",
        entities=entities,
        namespaces=namespaces,
        comments=comments,
        pis=pis,
        normalize=normalize,
        max_construct=max_construct,
    )
    parser.feed(text)
    return parser.close()

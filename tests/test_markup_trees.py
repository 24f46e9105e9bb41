"""corvane_markup's trees: the tree ElementTree builds for well-formed XML,
the repaired tree for broken markup, and the stream of start and end pairs."""

import xml.etree.ElementTree as ET

import pytest

import corvane_markup as cm
from installed_documents import installed_documents  # noqa: E402


def shape(element):
    """Everything a tree holds, comparable with ==."""
    return (element.tag, element.attrib, element.text, element.tail, [shape(child) for child in element])


def expected_tree(path):
    try:
        return ET.parse(path).getroot()
    except ET.ParseError as why:
        pytest.skip(f"{path.name}: {why}")


@pytest.mark.parametrize("path", installed_documents(), ids=lambda p: f"{p.parent.name}/{p.name}")
def test_the_tree_of_an_installed_document_is_elementtrees(path):
    expected = shape(expected_tree(path))
    assert shape(cm.parse(path, namespaces=True).getroot()) == expected
    # Pushed in pieces, the same tree.
    parser = cm.TreeParser(namespaces=True)
    data = path.read_bytes()
    for i in range(0, len(data), 4093):
        parser.feed(data[i : i + 4093])
    assert shape(parser.close()) == expected


def serialised(text, mode="sgml", **options):
    return ET.tostring(cm.fromstring(text, mode=mode, **options), encoding="unicode")


@pytest.mark.parametrize(
    "text, tree",
    [
        # Void elements take no children.
        ("<p>a<br>b<img src=x>c</p>", '<p>a<br />b<img src="x" />c</p>'),
        ("<p>a<br/>b</br>c</p>", "<p>a<br />bc</p>"),
        # An end tag closes the nearest open element of its name and what is
        # open inside it; one that closes nothing is dropped.
        ("<div><p>a<b>b</div>", "<div><p>a<b>b</b></p></div>"),
        ("<div><p>a</span>b</p></div>", "<div><p>ab</p></div>"),
        ("<ul><li>one</li><li>two</ul>", "<ul><li>one</li><li>two</li></ul>"),
        # Empty end tags close the innermost element.
        ("<p><b/bold/ text</p>", "<p><b>bold</b> text</p>"),
        ("<p><b>x</>y</p>", "<p><b>x</b>y</p>"),
        # What follows the root's end is added to it, but not the white space
        # right after the end tag.
        ("<html>a</html>\n<p>b</p>\n", "<html>a<p>b</p>\n</html>"),
        ("<div><p>a</div>c", "<div><p>a</p>c</div>"),
        ("<html>a</html>tail\n", "<html>atail\n</html>"),
        # Text before the root has no place.
        ("text<!DOCTYPE html><html lang=en>x", '<html lang="en">x</html>'),
        # Names are lower-cased, references resolved, unresolved ones kept.
        ("<P CLASS=Big>&lt;&#65;&nbsp;</P>", '<p class="Big">&lt;A&amp;nbsp;</p>'),
        ("<p>&nbsp;&x;</p>", "<p>\xa0&amp;x;</p>"),
    ],
)
def test_sgml_trees_are_repaired(text, tree):
    options = {"entities": {"nbsp": "\xa0"}} if "&x;" in text else {}
    assert serialised(text, **options) == tree


def test_xml_trees():
    text = (
        "<?xml version='1.0'?><!-- before --><r xmlns='u' xmlns:s='v' xml:lang='en'>"
        "<s:x s:a='1'>a<![CDATA[<b>]]>c<!--c--><?pi d?></s:x></r><!-- after -->"
    )
    root = cm.fromstring(text)
    assert (root.tag, root.attrib) == ("r", {"xmlns": "u", "xmlns:s": "v", "xml:lang": "en"})
    assert (root[0].tag, root[0].attrib, root[0].text) == ("s:x", {"s:a": "1"}, "a<b>c")
    root = cm.fromstring(text, namespaces=True, comments=True, pis=True)
    builder = ET.TreeBuilder(insert_comments=True, insert_pis=True)
    assert shape(root) == shape(ET.fromstring(text, ET.XMLParser(target=builder)))


def test_the_internal_subset_shapes_the_tree():
    text = """<!DOCTYPE r [
      <!ATTLIST r xmlns CDATA #FIXED "urn:x" kind (a|b) "a" id ID #IMPLIED>
      <!ATTLIST r kind CDATA "ignored" note CDATA "x&amp;y&#10;z">
      <!ENTITY who "world">
      <!ENTITY greeting "hello &who;">
      <!ENTITY % param "unused">
      <!ENTITY markup "<b>bold</b>">
      <!ENTITY external SYSTEM "other.xml">
    ]><r id="  k1  " other="1">&greeting; &markup;</r>"""
    root = cm.fromstring(text, namespaces=True)
    assert root.tag == "{urn:x}r"
    assert root.attrib == {"id": "k1", "other": "1", "kind": "a", "note": "x&y\nz"}
    assert root.text == "hello world &markup;"
    # ElementTree agrees where it can read the document.
    expected = ET.fromstring(text.replace(" &markup;", ""))
    assert shape(cm.fromstring(text.replace(" &markup;", ""), namespaces=True)) == shape(expected)


def test_attribute_values_keep_the_white_space_that_references_stand_for():
    # Literal tabs and line ends become spaces, also in an entity's
    # replacement text; those written as character references stay.
    text = (
        '<!DOCTYPE r [<!ENTITY nl "&#10;">]>'
        '<r a="x&#10;y&#9;z&#13;w" b="p\r\nq\tr\ns" c="&#x20;&#xA;&#xa; " d="&lt;&#10;&gt;" e="1&nl;2"/>'
    )
    expected = ET.fromstring(text).attrib
    assert expected["a"] == "x\ny\tz\rw" and expected["b"] == "p q r s"
    assert cm.fromstring(text).attrib == expected
    data = text.encode()
    parser = cm.EventParser()
    for i in range(len(data)):
        parser.feed(data[i : i + 1])
    parser.close()
    (start,) = [e for e in parser.read_events() if e.kind == "start"]
    # Events leave the internal subset's entities unresolved, as written.
    assert dict(start.value) == {**expected, "e": "1&nl;2"}


def test_iterparse_pairs_are_the_trees_elements():
    data = b"<r><a><b/></a><c>x</c></r>"
    pairs = list(cm.iterparse(data, ("start", "end")))
    assert [(kind, element.tag) for kind, element in pairs] == [
        ("start", "r"),
        ("start", "a"),
        ("start", "b"),
        ("end", "b"),
        ("end", "a"),
        ("start", "c"),
        ("end", "c"),
        ("end", "r"),
    ]
    root = pairs[0][1]
    assert pairs[-1][1] is root and root[1] is pairs[5][1] and root[1].text == "x"
    assert [kind for kind, _ in cm.iterparse(data)] == ["end"] * 4
    with pytest.raises(ValueError, match="unknown tree event 'start-ns'"):
        cm.iterparse(data, ("start-ns",))


def test_tree_errors():
    with pytest.raises(cm.MarkupError, match="no element"):
        cm.fromstring("just text")
    # An unfinished construct comes after the elements that are complete.
    pairs = []
    with pytest.raises(cm.UnfinishedError):
        for pair in cm.iterparse(b"<r><a>x</a><!-- open"):
            pairs.append(pair)
    assert [element.tag for _, element in pairs] == ["a", "r"]
    parser = cm.TreeParser("xml", events=("start",))
    parser.feed("<r><a>")
    assert [e.tag for _, e in parser.read_events()] == ["r", "a"]
    assert ET.tostring(parser.close()) == b"<r><a /></r>"

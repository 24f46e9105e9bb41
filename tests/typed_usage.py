"""A user's program, checked with a type checker against the installed
package alone: every module and package it imports must be found typed."""

import xml.etree.ElementTree as ET

import _lumet
import _sheaf
import _vexil
import corvane
import corvane_markup as cm


def kinds(data: bytes) -> list[str]:
    return [event.kind + event.name for event in cm.events(data, mode="xml")]


root: ET.Element = cm.fromstring("<a/>")
tree: ET.ElementTree = cm.parse(b"<a/>", namespaces=True)
pairs: list[tuple[str, ET.Element]] = list(cm.iterparse(b"<a/>", ("start", "end")))
doc: cm.Document = cm.open_document(b"<a/>")
total: object = cm.merge(1, 2)

switch: str = _lumet.switchcolor(0, 1)
named: str | None = _vexil.detectencoding(b"<?xml version='1.0'?>", 1)
fixed: str | None = _vexil.fixencoding("<?xml version='1.0'?>", "utf-8")

collector = _sheaf.Collector(xml=True)
parser: corvane.FastParser = corvane.XMLParser()
parser.register(collector)
held: int = parser.feed("<a>text</a>") + parser.close()
events: list[_sheaf.Event] = collector.take()
first: str = events[0].kind if events else ""

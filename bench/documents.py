"""The documents the suite measures.

Real documents are read from where the machine keeps them, never copied into
the repository: three XML data files that Debian's packages install (the MIME
type database of shared-mime-info, the ISO 639-3 language table of iso-codes,
the keyboard layout registry of xkb-data) and a few large HTML pages of
installed documentation (SGML mode). When a machine lacks them, generated
stand-ins of the same shape take their place, so the suite runs anywhere; the
report says which was used. `python documents.py --missing-packages` names
the Debian packages of the XML files that are missing, for scripts/bench.sh.

Generated documents are deterministic (a fixed seed) and well-formed XML, so
that every XML peer can read them.
"""

from __future__ import annotations

import os
import random
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

WORDS = (
    "the of and to in is that for it as was with be by on not he this are or "
    "his from at which but have an they you were her she there been one all "
    "we their has would when if so no will more can said who what about out "
    "time up into them some could other then these two may first than like"
).split()

# The same document at the three code-unit widths differs only in this one
# code point, kept in a trailing comment.
WIDTH_MARKS = {1: "\u00e9", 2: "\u20ac", 4: "\U0001f600"}


@dataclass
class Document:
    name: str
    origin: str  # where it came from, in words, for the report
    text: str
    real: bool
    data_file: bool = False  # one of DATA_FILES, read or a stand-in for it
    path: Path | None = None  # where a real one was read from

    @property
    def data(self) -> bytes:
        return self.text.encode("utf-8")


def data_dirs() -> list[Path]:
    # The freedesktop base-directory rule, with its documented default.
    dirs = os.environ.get("XDG_DATA_DIRS") or "/usr/local/share:/usr/share"
    return [Path(d) for d in dirs.split(":") if d]


def _words(rng: random.Random, n: int) -> str:
    return " ".join(rng.choice(WORDS) for _ in range(n))


def _fill(size: int, make_item, root: str = "doc", head: str = "") -> str:
    parts = [f'<?xml version="1.0" encoding="utf-8"?>\n{head}<{root}>\n']
    length = len(parts[0])
    i = 0
    while length < size:
        item = make_item(i)
        parts.append(item)
        length += len(item)
        i += 1
    parts.append(f"</{root}>\n")
    return "".join(parts)


def markup_dense(size: int) -> str:
    rng = random.Random(1)

    def item(i: int) -> str:
        w = rng.choice(WORDS)
        return f"<r><a>{w}</a><b/><c><d>{i}</d></c></r>\n"

    return _fill(size, item)


def text_heavy(size: int) -> str:
    rng = random.Random(2)

    def item(i: int) -> str:
        return f"<p>{_words(rng, 200)}.</p>\n"

    return _fill(size, item)


def attribute_heavy(size: int) -> str:
    rng = random.Random(3)

    def item(i: int) -> str:
        attrs = " ".join(f'{w}{k}="{_words(rng, 2)}"' for k, w in enumerate(rng.sample(WORDS, 6)))
        return f"<item id='n{i}' {attrs}/>\n"

    return _fill(size, item)


def reference_heavy(size: int) -> str:
    rng = random.Random(4)
    refs = ["&amp;", "&lt;", "&gt;", "&quot;", "&apos;", "&#65;", "&#x263A;", "&#233;"]

    def item(i: int) -> str:
        body = " ".join(rng.choice(WORDS) + rng.choice(refs) for _ in range(12))
        return f"<t>{body}</t>\n"

    return _fill(size, item)


def mixed(size: int) -> str:
    """A bit of everything: the base of the width comparison."""
    rng = random.Random(5)

    def item(i: int) -> str:
        return (
            f'<entry n="{i}" kind="{rng.choice(WORDS)}"><title>{_words(rng, 4)}</title>'
            f"<!-- {_words(rng, 3)} --><body>{_words(rng, 30)} &amp; "
            f"{_words(rng, 10)}<![CDATA[{_words(rng, 3)} < >]]></body></entry>\n"
        )

    return _fill(size, item)


def at_width(text: str, width: int) -> str:
    """The same text with one code point that stores it at the given width."""
    root_end = text.rindex("</")
    return text[:root_end] + f"<!-- {WIDTH_MARKS[width]} -->" + text[root_end:]


def mime_like(size: int) -> str:
    """Stand-in for the MIME database: the same element and attribute shape."""
    rng = random.Random(6)

    def item(i: int) -> str:
        w = rng.choice(WORDS)
        langs = "".join(
            f'  <comment xml:lang="{lang}">{_words(rng, 3)}</comment>\n' for lang in ("de", "fr", "ja", "pt")
        )
        return (
            f'<mime-type type="application/x-{w}{i}">\n  <comment>{_words(rng, 3)}</comment>\n'
            f'{langs}  <glob pattern="*.{w[:3]}{i}"/>\n  <magic priority="50">'
            f'<match type="string" value="{w}" offset="0"/></magic>\n</mime-type>\n'
        )

    return _fill(size, item, root="mime-info")


def html_like(size: int) -> str:
    """Stand-in for a documentation page: prose, links, code, entities."""
    rng = random.Random(7)
    parts = ["<!DOCTYPE html>\n<html><head><meta charset=utf-8><title>Manual</title></head><body>\n"]
    length = len(parts[0])
    i = 0
    while length < size:
        part = (
            f"<h2 id=s{i}>{_words(rng, 3)}</h2>\n<p>{_words(rng, 40)} "
            f'<a href="#s{i}">{_words(rng, 2)}</a> &mdash; {_words(rng, 20)}<br>\n'
            f'<pre><code class="lang-js">const x = a &lt; b &amp;&amp; c;</code></pre>\n'
            f"<ul><li>{_words(rng, 5)}<li>{_words(rng, 5)}</ul>\n"
        )
        parts.append(part)
        length += len(part)
        i += 1
    parts.append("</body></html>\n")
    return "".join(parts)


def language_table_like(size: int) -> str:
    """Stand-in for the ISO 639-3 table: an internal subset, then one empty
    element per language with its attributes on lines of their own."""
    rng = random.Random(8)
    subset = (
        "<!DOCTYPE languages [\n\t<!ELEMENT languages (language+)>\n"
        "\t<!ELEMENT language EMPTY>\n\t<!ATTLIST language\n"
        "\t\tid\t\tCDATA\t#REQUIRED\n\t\tscope\t\tCDATA\t#REQUIRED\n"
        "\t\tname\t\tCDATA\t#REQUIRED\n\t>\n]>\n"
    )

    def item(i: int) -> str:
        name = rng.choice(WORDS).capitalize() + rng.choice(["", " " + rng.choice(WORDS)])
        return (
            f'\t<language\n\t\tid="{i:x}"\n\t\tstatus="Active"\n\t\tscope="I"\n'
            f'\t\ttype="L"\n\t\treference_name="{name}"\n\t\tname="{name}" />\n'
        )

    return _fill(size, item, root="languages", head=subset)


def layout_registry_like(size: int) -> str:
    """Stand-in for the keyboard layout registry: deep nesting of short
    elements, indented, with a comment now and then."""
    rng = random.Random(9)

    def item(i: int) -> str:
        w = rng.choice(WORDS)
        variants = "".join(
            f"      <variant>\n        <configItem>\n          <name>{v}{k}</name>\n"
            f"          <description>{w.capitalize()} ({_words(rng, 2)})</description>\n"
            "        </configItem>\n      </variant>\n"
            for k, v in enumerate(rng.sample(WORDS, 4))
        )
        return (
            f"  <layout>\n    <configItem>\n      <name>{w[:2]}{i}</name>\n"
            f"      <!-- Keyboard indicator for {w} layouts -->\n"
            f"      <shortDescription>{w[:2]}</shortDescription>\n"
            f"      <description>{_words(rng, 2).capitalize()}</description>\n"
            f"      <languageList>\n        <iso639Id>{w[:3]}</iso639Id>\n"
            f"      </languageList>\n    </configItem>\n    <variantList>\n{variants}"
            "    </variantList>\n  </layout>\n"
        )

    return _fill(size, item, root="layoutList", head='<!DOCTYPE layoutList SYSTEM "x.dtd">\n')


def _read(path: Path) -> str:
    # Benchmark input only: a stray undecodable byte becomes U+FFFD.
    return path.read_bytes().decode("utf-8", errors="replace")


@dataclass
class DataFile:
    """An XML file that a Debian package installs under a data directory."""

    name: str
    path: str  # below the data directory
    package: str
    what: str
    stand_in: Callable[[int], str]

    def find(self) -> Path | None:
        for base in data_dirs():
            path = base / self.path
            if path.is_file():
                return path
        return None

    def document(self, size: int, real: bool = True) -> Document:
        path = self.find() if real else None
        if path is not None:
            return Document(
                self.name,
                f"{self.what} of {self.package} ({path.name}, {path.stat().st_size / 1e6:.1f} MB)",
                _read(path),
                True,
                True,
                path,
            )
        why = "not installed on this machine" if real else "generated documents only"
        return Document(
            f"{self.name} (generated)",
            f"generated stand-in for the {self.what} of {self.package} ({why})",
            self.stand_in(size),
            False,
            True,
        )


DATA_FILES = [
    DataFile("mime-db", "mime/packages/freedesktop.org.xml", "shared-mime-info", "MIME type database", mime_like),
    DataFile(
        "iso-639-3", "xml/iso-codes/iso_639-3.xml", "iso-codes", "ISO 639-3 language table", language_table_like
    ),
    DataFile("xkb-base", "X11/xkb/rules/base.xml", "xkb-data", "keyboard layout registry", layout_registry_like),
]


def missing_packages() -> list[str]:
    return [f.package for f in DATA_FILES if f.find() is None]


def documentation_pages(count: int, size: int, low: int = 150_000, high: int = 2_000_000) -> list[Document]:
    """The largest HTML pages of installed documentation, one per package."""
    found: dict[str, tuple[int, Path]] = {}
    for base in data_dirs():
        docs = base / "doc"
        if not docs.is_dir():
            continue
        for path in docs.rglob("*.htm*"):
            try:
                length = path.stat().st_size
            except OSError:
                continue
            package = path.relative_to(docs).parts[0]
            if low <= length <= high and length > found.get(package, (0, path))[0]:
                found[package] = (length, path.relative_to(docs))
        if found:
            pages = sorted(found.values(), key=lambda item: (-item[0], str(item[1])))[:count]
            return [
                Document(
                    f"html:{rel.parts[0]}",
                    f"installed documentation page doc/{rel} ({length / 1e3:.0f} kB)",
                    _read(docs / rel),
                    True,
                    path=docs / rel,
                )
                for length, rel in pages
            ]
    return [
        Document(
            "html (generated)",
            "generated stand-in for a documentation page (no large HTML documentation installed)",
            html_like(size),
            False,
        )
    ]


@dataclass
class Corpus:
    xml: list[Document]  # XML mode, well-formed, read by every peer
    sgml: list[Document]  # SGML mode
    widths: dict[int, Document]  # the same document at widths 1, 2, 4


def corpus(size: int = 1 << 20, real: bool = True) -> Corpus:
    xml = [f.document(size, real) for f in DATA_FILES]
    for name, make in (
        ("markup-dense", markup_dense),
        ("text-heavy", text_heavy),
        ("attribute-heavy", attribute_heavy),
        ("reference-heavy", reference_heavy),
    ):
        xml.append(Document(name, f"generated, {name}", make(size), False))
    sgml = (
        documentation_pages(3, size)
        if real
        else [Document("html (generated)", "generated stand-in", html_like(size), False)]
    )
    base = mixed(size)
    widths = {
        w: Document(f"width {w}", f"generated, mixed content, stored at width {w}", at_width(base, w), False)
        for w in (1, 2, 4)
    }
    return Corpus(xml, sgml, widths)


if __name__ == "__main__":
    if sys.argv[1:] != ["--missing-packages"]:
        sys.exit("usage: documents.py --missing-packages")
    print(" ".join(missing_packages()))

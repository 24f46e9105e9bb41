"""What `corvane stats` and `corvane events --json` do, written with
html.parser: the peer of the tool's goals on HTML.
`python peer_htmlparser.py [--json] FILE`."""

import codecs
import json
import sys
from collections import Counter
from html.parser import HTMLParser


class Page(HTMLParser):
    def __init__(self, as_json: bool) -> None:
        super().__init__(convert_charrefs=True)
        self.as_json = as_json
        self.kinds: Counter[str] = Counter()
        self.elements: Counter[str] = Counter()
        self.lines: list[str] = []

    def event(self, kind: str, record: dict[str, object]) -> None:
        self.kinds[kind] += 1
        if self.as_json:
            self.lines.append(json.dumps(dict(event=kind, **record), ensure_ascii=False))

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        self.elements[tag] += 1
        pairs = [[name, name if value is None else value] for name, value in attrs]
        self.event("start", {"name": tag, "attributes": pairs})

    def handle_startendtag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        self.handle_starttag(tag, attrs)
        self.handle_endtag(tag)

    def handle_endtag(self, tag: str) -> None:
        self.event("end", {"name": tag})

    def handle_data(self, data: str) -> None:
        self.event("text", {"text": data})

    def handle_comment(self, data: str) -> None:
        self.event("comment", {"text": data})

    def handle_decl(self, decl: str) -> None:
        self.event("declaration", {"text": decl})

    def handle_pi(self, data: str) -> None:
        self.event("pi", {"target": "", "data": data})


def main(argv: list[str]) -> None:
    as_json = argv[0] == "--json"
    path = argv[-1]
    page = Page(as_json)
    decoder = codecs.getincrementaldecoder("utf-8")("replace")
    out = sys.stdout
    with open(path, "rb") as f:
        while chunk := f.read(65536):
            page.feed(decoder.decode(chunk))
            if page.lines:
                out.write("\n".join(page.lines) + "\n")
                page.lines.clear()
    page.feed(decoder.decode(b"", True))
    page.close()
    if page.lines:
        out.write("\n".join(page.lines) + "\n")
    if not as_json:
        print(json.dumps({"file": path, "events": dict(page.kinds), "elements": dict(page.elements)}))


if __name__ == "__main__":
    main(sys.argv[1:])

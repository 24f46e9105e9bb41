"""What `corvane stats` and `corvane events --json` do, written with pyexpat:
the peer of the tool's goals. `python peer_pyexpat.py [--json] FILE`."""

import json
import sys
from collections import Counter

import pyexpat


def main(argv: list[str]) -> None:
    as_json = argv[0] == "--json"
    path = argv[-1]
    kinds: Counter[str] = Counter()
    elements: Counter[str] = Counter()
    lines: list[str] = []
    parser = pyexpat.ParserCreate()
    parser.buffer_text = True
    parser.ordered_attributes = True

    def event(record: dict[str, object]) -> None:
        lines.append(json.dumps(record, ensure_ascii=False))

    def start(name: str, attributes: list[str]) -> None:
        kinds["start"] += 1
        elements[name] += 1
        if as_json:
            pairs = [list(p) for p in zip(attributes[::2], attributes[1::2])]
            event({"event": "start", "name": name, "attributes": pairs})

    def end(name: str) -> None:
        kinds["end"] += 1
        if as_json:
            event({"event": "end", "name": name})

    def content(kind: str):  # text and comments
        def handle(text: str) -> None:
            kinds[kind] += 1
            if as_json:
                event({"event": kind, "text": text})

        return handle

    def pi(target: str, data: str) -> None:
        kinds["pi"] += 1
        if as_json:
            event({"event": "pi", "target": target, "data": data})

    parser.StartElementHandler = start
    parser.EndElementHandler = end
    parser.CharacterDataHandler = content("text")
    parser.CommentHandler = content("comment")
    parser.ProcessingInstructionHandler = pi
    out = sys.stdout
    with open(path, "rb") as f:
        while chunk := f.read(65536):
            parser.Parse(chunk, False)
            if lines:
                out.write("\n".join(lines) + "\n")
                lines.clear()
    parser.Parse(b"", True)
    if lines:
        out.write("\n".join(lines) + "\n")
    if not as_json:
        print(json.dumps({"file": path, "events": dict(kinds), "elements": dict(elements)}))


if __name__ == "__main__":
    main(sys.argv[1:])

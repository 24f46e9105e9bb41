"""What the internal subset of an XML document type declares that shapes the
tree: default attribute values, attributes whose values are tokens, and
general entities whose replacement is text. Nothing is fetched: external
entities and the external subset are left alone, and references to them
stay unresolved."""

from __future__ import annotations

import re

PREDEFINED = {"lt": "<", "gt": ">", "amp": "&", "apos": "'", "quot": '"'}

TOKEN = re.compile(r"""\s*(?:"([^"]*)"|'([^']*)'|(\([^)]*\))|([^\s"'()]+))""")
REFERENCE = re.compile(r"&(#x[0-9a-fA-F]+|#[0-9]+|[^\s&;]+);")
SPACES = re.compile(r"[\t\n\r]")


def _tokens(text: str) -> list[str]:
    out = []
    pos = 0
    while (match := TOKEN.match(text, pos)) and match.end() > pos:
        pos = match.end()
        quoted = match.group(1) if match.group(1) is not None else match.group(2)
        out.append('"' + quoted if quoted is not None else match.group(3) or match.group(4))
    return out


def _character(reference: str) -> str | None:
    try:
        code = int(reference[2:], 16) if reference[1] == "x" else int(reference[1:])
        return chr(code)
    except (ValueError, OverflowError):
        return None


class Declarations:
    """Called with the text of each declaration; fills in the tables that
    the collector reads while it builds the tree."""

    def __init__(self, entities: dict[str, str]) -> None:
        self.entities = entities
        self.defaults: dict[str, list[tuple[str, str]]] = {}
        self.tokenized: dict[str, set[str]] = {}
        self._declared: set[tuple[str, str]] = set()
        self._own: set[str] = set()

    def __call__(self, text: str) -> None:
        keyword, _, rest = text.partition(" ")
        if keyword == "ATTLIST":
            self._attlist(_tokens(rest))
        elif keyword == "ENTITY":
            self._entity(_tokens(rest))

    def _expand(self, value: str) -> str | None:
        """A literal's references replaced; None if one cannot be."""

        def replace(match: re.Match[str]) -> str:
            ref = match.group(1)
            if ref.startswith("#"):
                char = _character(ref)
                if char is None:
                    raise LookupError(ref)
                return char
            if ref in PREDEFINED:
                return PREDEFINED[ref]
            found = self.entities.get(ref)
            if found is None:
                raise LookupError(ref)
            return found

        try:
            return REFERENCE.sub(replace, value)
        except LookupError:
            return None

    def _attlist(self, tokens: list[str]) -> None:
        if not tokens:
            return
        element, rest = tokens[0], tokens[1:]
        i = 0
        while i + 1 < len(rest):
            name, kind = rest[i], rest[i + 1]
            i += 2
            if kind == "NOTATION":
                i += 1  # its group of names
            default = rest[i] if i < len(rest) else "#IMPLIED"
            i += 1
            if default == "#FIXED":
                default = rest[i] if i < len(rest) else ""
                i += 1
            # The first declaration of an attribute is the one that holds.
            if (element, name) in self._declared:
                continue
            self._declared.add((element, name))
            tokens_kind = kind != "CDATA"
            if tokens_kind:
                self.tokenized.setdefault(element, set()).add(name)
            if default.startswith('"'):
                value = self._expand(SPACES.sub(" ", default[1:]))
                if value is None:
                    continue
                if tokens_kind:
                    value = " ".join(part for part in value.split(" ") if part)
                self.defaults.setdefault(element, []).append((name, value))

    def _entity(self, tokens: list[str]) -> None:
        # Parameter entities and external entities are not ours to read.
        if len(tokens) < 2 or tokens[0] == "%" or not tokens[1].startswith('"'):
            return
        name, literal = tokens[0], tokens[1][1:]
        if name in PREDEFINED or name in self._own:
            return
        value = self._expand(literal)
        # Replacement text with markup in it would need parsing in place.
        if value is None or "<" in value:
            return
        self._own.add(name)
        self.entities[name] = value

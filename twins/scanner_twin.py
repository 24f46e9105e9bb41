"""A pure-Python twin of the corvane scanner, used as the oracle in the tests.

It is written from the rules of the scanner, construct by construct, for a
reader to check by eye; speed does not matter here.  The native module and
this model must report the same events, return the same counts and raise the
same exceptions for every text, split and target.

The held text is a list of one-character strings, so that SGML mode can
lower-case names in place exactly where the native scanner does.
"""

import ctypes
from dataclasses import dataclass

from events import BINDING_ORDER

PREDEFINED = {"gt": 62, "lt": 60, "amp": 38, "apos": 39, "quot": 34}
DECIMAL = {c: int(c) for c in "0123456789"}
HEXADECIMAL = {**DECIMAL, **{c: int(c, 16) for c in "abcdefABCDEF"}}
QUOTES = "\"'"


def _interpreter_tolower():
    # The scanner lower-cases with the interpreter's one-code-point mapping,
    # which str.lower() does not give (it may answer several code points), so
    # ask the running interpreter itself.  On 3.12 and 3.13 it equals the first
    # code point of str.lower() for every code point; that is the fallback.
    try:
        function = ctypes.pythonapi._PyUnicode_ToLowercase
    except AttributeError:
        return lambda c: c.lower()[0]
    function.restype = ctypes.c_uint32
    function.argtypes = [ctypes.c_uint32]
    return lambda c: chr(function(ord(c)))


tolower = _interpreter_tolower()


def is_sgml_name(c):
    # str.isalnum of one code point is alpha, decimal, digit or numeric.
    return c.isalnum() or c in "-.:?"


def signed32(value):
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value & 0x80000000 else value


def is_character(value):
    # Negative values stand for numbers above U+10FFFF read unsigned; like -1
    # they cannot become a character.
    return 0 <= value <= 0x10FFFF


INCOMPLETE = "incomplete"
NOT_MARKUP = "not markup"


@dataclass
class Token:
    kind: str  # starttag emptytag endtag proc special comment cdata entityref charref
    begin: int  # name (or content) begin
    name_end: int
    content_end: int
    resume: int


class ModelParser:
    def __init__(self, xml_mode):
        self.xml_mode = bool(xml_mode)
        self.busy = False
        self.pending_net = 0
        self.doctype_state = 0
        self.held = None  # list of one-character str while a text is open
        # How far the last scan read the incomplete construct it stopped at,
        # which the native parser keeps in its record to go on from there:
        # an offset from the construct's first code point (0: none) and the
        # quote open at that point, as a code point.
        self.resume_offset = 0
        self.resume_quote = 0
        self._reached = None
        self._slots = {}  # handler name -> bound value; an empty slot is absent

    # -- the four methods ---------------------------------------------------

    def register(self, target):
        for name in BINDING_ORDER:
            self._slots.pop(name, None)
            try:
                value = getattr(target, name)
            except Exception:
                continue
            # A lookup may itself have run register and filled this slot.
            self._slots.pop(name, None)
            self._slots[name] = value
        return None

    def feed(self, text):
        return self._feed(_require_str(text, "feed"), final=False)

    def close(self):
        return self._feed("", final=True)

    def parse(self, text):
        return self._feed(_require_str(text, "parse"), final=True)

    @property
    def held_text(self):
        return None if self.held is None else "".join(self.held)

    # -- feeding --------------------------------------------------------------

    def _feed(self, text, final):
        if self.busy:
            raise AssertionError("recursive feed")
        if self.held is None:
            self.held = []
            self.pending_net = self.doctype_state = 0
            self.resume_offset = 0
        # The code points of the str itself, whatever a subclass overrides.
        self.held.extend(str.__str__(text))
        states = (self.pending_net, self.doctype_state)
        self.busy = True
        self._reached = None
        if self.held:
            self.resume_offset = 0
        try:
            consumed = self._scan() if self.held else 0
        except BaseException:
            # The held text is scanned again from its start next time, so it
            # must meet the states that it met this time.
            self.pending_net, self.doctype_state = states
            raise
        finally:
            self.busy = False
        if self._reached and self._reached[0] == consumed:
            _, self.resume_offset, self.resume_quote = self._reached
        del self.held[:consumed]
        remaining = len(self.held)
        if final:
            self.held = None
        return remaining

    # -- the scan -------------------------------------------------------------

    def _scan(self):
        end = len(self.held)
        p = text_start = 0
        while True:
            token = self._construct_at(p)
            if token is None or token is NOT_MARKUP:
                p += 1
                if p == end:
                    self._report_text(text_start, end)
                    return end
                continue
            self._report_text(text_start, p)
            if token is INCOMPLETE:
                return p
            self._report(token)
            if token.resume >= end:
                return token.resume
            p = text_start = token.resume

    def _construct_at(self, p):
        c = self.held[p]
        if c == "<":
            return self._markup(p)
        if c == "&":
            return self._reference(p)
        if c == "%" and self.doctype_state:
            return self._parameter_entity(p)
        if c == "]" and self.doctype_state:
            return self._subset_end(p)
        if c == "/" and self.pending_net:
            return self._null_end_tag(p)
        return None

    def _markup(self, p):
        t, end = self.held, len(self.held)
        if p + 1 == end:
            return INCOMPLETE
        c = t[p + 1]
        if c in "?/!" and p + 2 == end:
            return INCOMPLETE
        if c == "?":
            return self._tag("proc", p, p + 2)
        if c == "/":
            return self._tag("endtag", p, p + 2)
        if c == "!":
            if t[p + 2] == "-":
                return self._enclosed(p, "comment", p + 4, "-->")
            if self.xml_mode and t[p + 2] == "[":
                return self._enclosed(p, "cdata", p + 9, "]]>")
            if self.xml_mode and t[p + 2] == "D":
                self.doctype_state = 1
            return self._tag("special", p, p + 2)
        if c.isspace():
            return NOT_MARKUP
        return self._tag("starttag", p, p + 1)

    def _tag(self, kind, p, begin):
        t, end = self.held, len(self.held)
        name_end = begin
        if self.xml_mode:
            while name_end < end and not (t[name_end] in ">/?" or t[name_end].isspace()):
                name_end += 1
        else:
            while name_end < end and is_sgml_name(t[name_end]):
                t[name_end] = tolower(t[name_end])
                name_end += 1
        if name_end == end:
            return INCOMPLETE
        if not self.xml_mode and t[name_end] == "/":
            return self._sgml_slash(begin, name_end)
        return self._rest_of_tag(kind, p, begin, name_end)

    def _sgml_slash(self, begin, name_end):
        t, end = self.held, len(self.held)
        q = name_end + 1
        if q == end:
            return INCOMPLETE
        if t[q] == ">":
            # "<name/>" needs one more code point to be complete.
            if q + 1 == end:
                return INCOMPLETE
            return Token("emptytag", begin, name_end, name_end, q + 1)
        self.pending_net = 2
        return Token("starttag", begin, name_end, name_end, q)

    def _rest_of_tag(self, kind, p, begin, name_end):
        t, end = self.held, len(self.held)
        quote = None
        i = name_end
        while True:
            if i == end:
                self._reached = (p, end - p, ord(quote) if quote else 0)
                return INCOMPLETE
            c = t[i]
            if quote is None and c in "<>":
                break
            if quote is not None:
                if c == quote:
                    quote = None
            elif c in QUOTES:
                quote = c
            elif c == "[" and self.doctype_state:
                self.doctype_state = 2
                return Token("special", begin, name_end, i, i + 1)
            i += 1
        content_end = i
        resume = i + 1 if c == ">" else i
        last = t[i - 1] if i > name_end else None
        if last == "/":
            kind = "emptytag"
            content_end -= 1
        elif kind == "proc" and last == "?":
            content_end -= 1
        if self.doctype_state == 1:
            self.doctype_state = 0
        return Token(kind, begin, name_end, content_end, resume)

    def _enclosed(self, p, kind, content_begin, closing):
        t, end = self.held, len(self.held)
        if p + 5 >= end:
            return INCOMPLETE
        # The search starts right after "<!", so the closing sequence may
        # overlap the opening one; the content is then empty.
        q = p + 2
        while q + 3 < end:
            if "".join(t[q : q + 3]) == closing:
                return Token(kind, content_begin, content_begin, q, q + 3)
            q += 1
        # Read up to where the closing sequence could begin.
        self._reached = (p, end - 3 - p, 0)
        return INCOMPLETE

    def _reference(self, p):
        t, end = self.held, len(self.held)
        if p + 1 == end:
            return INCOMPLETE
        if t[p + 1] == "#":
            if p + 2 == end:
                return INCOMPLETE
            kind, begin = "charref", p + 2
        elif t[p + 1].isspace():
            return NOT_MARKUP
        else:
            kind, begin = "entityref", p + 1
        i = begin
        while i < end and not (t[i] in ";<>" or t[i].isspace()):
            i += 1
        if i == end:
            return INCOMPLETE
        return Token(kind, begin, i, i, i + 1 if t[i] == ";" else i)

    def _parameter_entity(self, p):
        t, end = self.held, len(self.held)
        if p + 1 == end:
            return INCOMPLETE
        i = p + 1
        while i < end and not (t[i] == ";" or t[i].isspace()):
            i += 1
        if i == end:
            return INCOMPLETE
        return Token("special", p + 1, i, i, i + 1 if t[i] == ";" else i)

    def _subset_end(self, p):
        if p + 1 == len(self.held):
            return INCOMPLETE
        self.doctype_state = 0
        return Token("special", p + 1, p + 1, p + 1, p + 1)

    def _null_end_tag(self, p):
        if p + 1 == len(self.held):
            return INCOMPLETE
        self.pending_net = 0
        return Token("endtag", p + 1, p + 1, p + 1, p + 1)

    # -- reports --------------------------------------------------------------

    def _string(self, begin, end):
        # An inverted range (a comment that closes inside its opening) is empty.
        return "".join(self.held[begin:end])

    def _bound(self, name):
        return name in self._slots

    def _call(self, name, *args):
        # The slot is read right here: a callback may have re-registered.
        if name in self._slots:
            self._slots[name](*args)

    def _skip_space(self, i, end):
        while i < end and self.held[i].isspace():
            i += 1
        return i

    def _report_text(self, begin, end):
        if begin < end:
            self._call("handle_text", self._string(begin, end))

    def _report(self, token):
        kind, begin = token.kind, token.begin
        if kind in ("starttag", "emptytag"):
            self._start_tag(token)
        elif kind == "endtag":
            self._call("handle_endtag", self._string(begin, token.name_end))
        elif kind == "proc":
            data = self._skip_space(token.name_end, token.content_end)
            self._call(
                "handle_proc",
                self._string(begin, token.name_end),
                self._string(data, token.content_end),
            )
        elif kind in ("special", "comment"):
            self._call("handle_" + kind, self._string(begin, token.content_end))
        elif kind == "cdata":
            content = self._string(begin, token.content_end)
            if self._bound("handle_cdata"):
                self._call("handle_cdata", content)
            else:
                self._call("handle_text", content)
        elif kind == "entityref":
            self._entity_reference(begin, token.name_end)
        else:
            self._character_reference(begin, token.name_end)

    # -- references -------------------------------------------------------------

    def _value(self, begin, end):
        name = self._string(begin, end)
        if not name:
            return -1
        if name in PREDEFINED:
            return PREDEFINED[name]
        if name[0] != "#":
            return -1
        if name[1:2] == "x":
            digits, table, base = name[2:], HEXADECIMAL, 16
        else:
            digits, table, base = name[1:], DECIMAL, 10
        value = 0
        for c in digits:
            if c not in table:
                break
            value = (value * base + table[c]) & 0xFFFFFFFF
        return signed32(value)

    def _entity_reference(self, begin, end):
        value = self._value(begin, end)
        if value > 0 and self._bound("handle_text"):
            self._call("handle_text", chr(value))
        else:
            self._call("handle_entityref", self._string(begin, end))

    def _character_reference(self, begin, end):
        if self._bound("handle_charref"):
            self._call("handle_charref", self._string(begin, end))
        elif self._bound("handle_text"):
            # The value is read from the "#" on.
            value = self._value(begin - 1, end)
            if is_character(value):
                self._call("handle_text", chr(value))
            else:
                self._call("handle_entityref", self._string(begin - 1, end))

    def _attribute_reference(self, begin, end):
        value = self._value(begin, end)
        if is_character(value):
            self._call("handle_text", chr(value))
        else:
            self._call("handle_entityref", self._string(begin, end))

    # -- start tags -------------------------------------------------------------

    def _start_tag(self, token):
        if not self._bound("handle_enterstarttag"):
            return
        t = self.held
        name = (token.begin, token.name_end)
        self._call("handle_enterstarttag", self._string(*name))
        e = token.content_end
        r = self._skip_space(token.name_end, e)
        while r < e:
            r = self._skip_space(r, e)
            if r == e:
                break
            name_begin = r
            while r < e and not (t[r] == "=" or t[r].isspace()):
                r += 1
            attribute = self._string(name_begin, r)
            self._call("handle_enterattr", attribute)
            r = self._skip_space(r, e)
            if r == e or t[r] != "=":
                # SGML minimises an attribute to its name: <option selected>.
                if not self.xml_mode:
                    self._call("handle_text", attribute)
            else:
                r = self._skip_space(r + 1, e)
                if r < e:
                    r = self._attribute_value(r, e)
            self._call("handle_leaveattr", attribute)
        self._call("handle_leavestarttag", self._string(*name))
        if token.kind == "emptytag":
            self._call("handle_endtag", self._string(*name))

    def _attribute_value(self, r, e):
        """Reports the value that begins at r; answers where the next attribute begins."""
        t = self.held
        quote = t[r] if t[r] in QUOTES else None
        i = segment = r + 1 if quote else r
        in_reference = False
        while i < e:
            c = t[i]
            if (c == quote if quote else c.isspace()) or c == ">":
                break
            if not in_reference and c == "&":
                self._report_text(segment, i)
                in_reference, segment = True, i + 1
            elif in_reference and c == ";":
                self._attribute_reference(segment, i)
                in_reference, segment = False, i + 1
            i += 1
        if in_reference:
            self._attribute_reference(segment, i)
        else:
            self._report_text(segment, i)
        return i + 1 if quote else i


def _require_str(text, method):
    if not isinstance(text, str):
        given = "None" if text is None else type(text).__name__
        raise TypeError(f"{method}() argument 1 must be str, not {given}")
    return text

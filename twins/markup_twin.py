"""A plain-Python twin of the native collector's event mode, written from
the rules the layer documents: the oracle for the native one."""

from corvane_markup import Event

WHITESPACE_IN_VALUES = str.maketrans("\t\n\r", "   ")


class ModelCollector:
    def __init__(self, xml=True, text_limit=0, entities=None, normalise=False):
        self.xml = xml
        self.text_limit = text_limit
        self.entities = entities or {}
        self.normalise = normalise
        self.events = []
        self.text = ""
        self.value = None  # the pieces of the attribute value being read
        self.attributes = None
        self.marking = False

    def emit(self, kind, name="", value=None):
        self.events.append(Event((kind, name, value)))

    def flush(self, final=True):
        limit = self.text_limit or len(self.text) or 1
        while len(self.text) >= limit:
            self.emit("text", value=self.text[:limit])
            self.text = self.text[limit:]
        if final and self.text:
            self.emit("text", value=self.text)
            self.text = ""

    def add_text(self, text):
        self.text += text
        if self.text_limit and not self.marking:
            self.flush(final=False)

    def follow(self, parser):
        # The parser's reports cannot tell a Python target which characters
        # references stand for, so the twin normalises every character of a
        # value alike: the documents it is compared on have no reference to
        # a tab or line end inside a value.
        pass

    def handle_enterstarttag(self, name):
        self.attributes, self.value = [], []

    def handle_leaveattr(self, name):
        if self.attributes is None:
            return
        value = "".join(self.value)
        if self.normalise:
            value = value.translate(WHITESPACE_IN_VALUES)
        self.attributes.append((name if self.xml else name.lower(), value))
        self.value = []

    def handle_leavestarttag(self, name):
        attributes, self.attributes, self.value = self.attributes, None, None
        self.flush()
        self.emit("start", name, attributes)

    def handle_endtag(self, name):
        self.flush()
        self.emit("end", name)

    def handle_text(self, text):
        if self.attributes is not None:
            self.value.append(text)
        else:
            self.add_text(text)

    def handle_entityref(self, name):
        found = self.entities.get(name)
        if self.attributes is not None:
            self.value.append(found if found is not None else f"&{name};")
        elif found is not None:
            self.add_text(found)
        else:
            self.flush()
            self.emit("entity", name)

    def content(self, kind, text, name=""):
        self.flush()
        self.emit(kind, name, text)

    def handle_cdata(self, text):
        self.content("cdata", text)

    def handle_comment(self, text):
        self.content("comment", text)

    def handle_special(self, text):
        self.content("declaration", text)

    def handle_proc(self, target, data):
        self.content("pi", data, target)

    def take(self):
        out, self.events = self.events, []
        return out

    def mark(self):
        self.marking = True

    def unmark(self):
        self.marking = False
        assert self.text.endswith("\uffff")
        self.text = self.text[:-1]

    def finish(self):
        self.marking = False
        self.attributes = self.value = None
        self.flush()

"""The goals of the suite, each a ratio measured side by side in one run.

Every goal function returns a Goal: the measured ratio, the target, whether
it is met, and a table of the figures behind it. A goal whose module is not
installed says so and is skipped; the rest of the suite runs on.
"""

from __future__ import annotations

import collections
import importlib
import statistics
import pyexpat
from dataclasses import dataclass, field
from html.parser import HTMLParser
from types import ModuleType
from typing import Any, Callable

import documents
import purepy
from harness import Case, Settings, Timing, compare, ratio

HANDLERS = ("enterstarttag", "leavestarttag", "enterattr", "leaveattr", "endtag",
            "proc", "special", "charref", "entityref", "text", "cdata", "comment")


@dataclass
class Goal:
    key: str
    title: str
    target: float
    at_least: bool  # the ratio must be at least the target (else at most)
    measured: float | None = None
    absent: str = ""  # why it could not be measured
    columns: list[str] = field(default_factory=list)
    rows: list[list[str]] = field(default_factory=list)
    bars: list[tuple[str, float]] = field(default_factory=list)  # for the chart
    notes: list[str] = field(default_factory=list)

    @property
    def met(self) -> bool | None:
        if self.measured is None:
            return None
        if self.at_least:
            return self.measured >= self.target
        return self.measured <= self.target

    @property
    def target_text(self) -> str:
        return ("at least " if self.at_least else "at most ") + f"{self.target:g}x"

    @property
    def verdict(self) -> str:
        if self.measured is None:
            return "not measured: " + self.absent
        return f"{self.measured:.2f}x, target {self.target_text}: " + (
            "met" if self.met else "missed")


@dataclass
class Modules:
    corvane: ModuleType | None
    vexil: ModuleType | None
    lumet: ModuleType | None
    lxml_etree: ModuleType | None
    noop: ModuleType | None
    noop_error: str = ""

    @staticmethod
    def load(noop_loader: Callable[[], ModuleType]) -> "Modules":
        def optional(name: str) -> ModuleType | None:
            try:
                return importlib.import_module(name)
            except ImportError:
                return None
        try:
            noop, error = noop_loader(), ""
        except (OSError, RuntimeError) as e:
            noop, error = None, str(e).splitlines()[0]
        return Modules(optional("corvane"), optional("_vexil"), optional("_lumet"),
                       optional("lxml.etree"), noop, error)


def absent_corvane(goal: Goal, mods: Modules) -> bool:
    if mods.corvane is None:
        goal.absent = "the corvane module is not installed"
        return True
    return False


def ms(t: Timing) -> str:
    return f"{t.seconds * 1e3:.3g}"


def ns(t: Timing) -> str:
    return f"{t.seconds * 1e9:.1f}"


def rate(t: Timing, units: float) -> str:
    return f"{units / t.seconds / 1e6:.1f}"


def scanner(corvane: ModuleType, xml: bool, target: Any = None):
    p = corvane.XMLParser() if xml else corvane.SGMLParser()
    p.register(target)
    return p


class _Null:
    """A target for lxml that receives no events."""

    def close(self) -> None:
        return None


class _QuietHTML(HTMLParser):
    pass


def _html_parser(text: str) -> None:
    h = _QuietHTML()
    h.feed(text)
    h.close()


def _lxml_feed(make: Callable[[], Any], data: bytes) -> None:
    p = make()
    p.feed(data)
    p.close()


# --- goal 1 -----------------------------------------------------------------

def scan_throughput(corpus: documents.Corpus, mods: Modules, settings: Settings) -> Goal:
    goal = Goal("1", "Scan throughput, no callbacks, XML mode: expat time / corvane time",
                6.0, True)
    goal.columns = ["document", "mode", "code points", "corvane ms", "expat ms",
                    "html.parser ms", "lxml feed ms", "corvane Mcp/s", "expat / corvane"]
    if absent_corvane(goal, mods):
        return goal
    etree = mods.lxml_etree
    if etree is None:
        goal.notes.append("lxml is not installed: its column is empty.")
    ratios = []
    for doc, xml in [(d, True) for d in corpus.xml] + [(d, False) for d in corpus.sgml]:
        env = {"p": scanner(mods.corvane, xml), "text": doc.text, "data": doc.data,
               "expat": pyexpat.ParserCreate, "html": _html_parser, "lxml": _lxml_feed}
        cases = [Case("corvane", "p.parse(text)", env),
                 Case("html.parser", "html(text)", env)]
        if xml:
            cases.append(Case("expat", "expat().Parse(data, True)", env))
        if etree is not None:
            make = ((lambda: etree.XMLParser(target=_Null())) if xml else
                    (lambda: etree.HTMLParser(target=_Null())))
            env["make"] = make
            cases.append(Case("lxml", "lxml(make, data)", env))
        got = compare(cases, settings)
        n = len(doc.text)
        row = [doc.name, "XML" if xml else "SGML", f"{n:,}", ms(got["corvane"]),
               ms(got["expat"]) if xml else "-", ms(got["html.parser"]),
               ms(got["lxml"]) if "lxml" in got else "-", rate(got["corvane"], n)]
        if xml:
            r = ratio(got["expat"], got["corvane"])
            ratios.append(r)
            goal.bars.append((doc.name, r))
            row.append(f"{r:.2f}")
        else:
            row.append("-")
        goal.rows.append(row)
    goal.measured = min(ratios)
    goal.notes.append("The goal's figure is the smallest ratio over the XML documents. "
                      "expat and lxml read the UTF-8 bytes, corvane and html.parser the str.")
    return goal


# --- goal 2 -----------------------------------------------------------------

class Collector:
    """Binds every handler to one list's append (a lambda for handle_proc)."""

    def __init__(self) -> None:
        self.events: list[str] = []
        append = self.events.append
        for name in HANDLERS:
            setattr(self, "handle_" + name, append)
        self.handle_proc = lambda target, data: append(target)


def callback_cost(corpus: documents.Corpus, mods: Modules, settings: Settings) -> Goal:
    goal = Goal("2", "Cost per callback beyond the bare scan / cost per item of "
                "deque(map(append, strings), 0)", 2.0, False)
    goal.columns = ["document", "calls", "scan ms", "callbacks ms", "ns per call",
                    "deque ns per item", "ratio"]
    if absent_corvane(goal, mods):
        return goal
    ratios = []
    for doc in corpus.xml:
        target = Collector()
        p = scanner(mods.corvane, True, target)
        p.parse(doc.text)
        strings = list(target.events)
        target.events.clear()
        sink: list[str] = []
        env = {"bare": scanner(mods.corvane, True), "p": p, "text": doc.text,
               "deque": collections.deque, "append": sink.append, "strings": strings}
        got = compare([
            Case("scan", "bare.parse(text)", env),
            Case("callbacks", "p.parse(text)", env, after=target.events.clear),
            Case("deque", "deque(map(append, strings), 0)", env, after=sink.clear),
        ], settings)
        calls = len(strings)
        if not calls:
            continue
        per_call = (got["callbacks"].seconds - got["scan"].seconds) / calls
        per_item = got["deque"].seconds / calls
        # Per round, as harness.ratio does, since this is a difference of two.
        r = statistics.median((c - s) / d for c, s, d in zip(
            got["callbacks"].samples, got["scan"].samples, got["deque"].samples))
        ratios.append(r)
        goal.bars.append((doc.name, r))
        goal.rows.append([doc.name, f"{calls:,}", ms(got["scan"]), ms(got["callbacks"]),
                          f"{per_call * 1e9:.1f}", f"{per_item * 1e9:.1f}", f"{r:.2f}"])
    goal.measured = max(ratios)
    goal.notes.append("The goal's figure is the largest ratio over the XML documents.")
    return goal


# --- goal 3 -----------------------------------------------------------------

PIECE = 4096
PATHOLOGICAL = {
    "8 MiB comment": ("<!--", "-->\n"),
    "8 MiB CDATA section": ("<![CDATA[", "]]>\n"),
    "8 MiB quoted attribute value": ('<a b="', '">\n'),
}


def feed_pieces(p: Any, pieces: list[str]) -> None:
    for piece in pieces:
        p.feed(piece)
    p.close()


def pathological_text(opening: str, closing: str, size: int) -> str:
    body = documents.text_heavy(size)
    body = body[body.index("<p>") + 3:]
    body = "".join(c for c in body[:size] if c not in "<>&-]\"'")
    body = (body * (size // max(len(body), 1) + 1))[:size]
    return opening + body + closing


def piecewise(corpus: documents.Corpus, mods: Modules, settings: Settings,
              pathological_size: int) -> tuple[Goal, Goal]:
    plain = Goal("3a", "Fed in 4 KiB pieces / fed whole, no callbacks", 1.1, False)
    patho = Goal("3b", "Incomplete construct fed in 4 KiB pieces / fed whole "
                 "(linear time)", 3.0, False)
    for goal in (plain, patho):
        goal.columns = ["document", "code points", "whole ms", "pieces ms", "pieces / whole"]
    if absent_corvane(plain, mods) | absent_corvane(patho, mods):
        return plain, patho
    texts = [(d.name, d.text, True) for d in corpus.xml] + \
        [(d.name, d.text, False) for d in corpus.sgml]
    for goal, group in ((plain, texts),
                        (patho, [(name, pathological_text(o, c, pathological_size), True)
                                 for name, (o, c) in PATHOLOGICAL.items()])):
        ratios = []
        for name, text, xml in group:
            env = {"p": scanner(mods.corvane, xml), "text": text, "feed": feed_pieces,
                   "pieces": [text[i:i + PIECE] for i in range(0, len(text), PIECE)]}
            got = compare([Case("whole", "p.parse(text)", env),
                           Case("pieces", "feed(p, pieces)", env)], settings)
            r = ratio(got["pieces"], got["whole"])
            ratios.append(r)
            goal.bars.append((name, r))
            goal.rows.append([name, f"{len(text):,}", ms(got["whole"]), ms(got["pieces"]),
                              f"{r:.2f}"])
        goal.measured = max(ratios)
        goal.notes.append("The goal's figure is the largest ratio.")
    return plain, patho


# --- goal 4 -----------------------------------------------------------------

def width_independence(corpus: documents.Corpus, mods: Modules, settings: Settings) -> Goal:
    goal = Goal("4", "The same document at widths 1, 2, 4: slowest / fastest", 1.2, False)
    goal.columns = ["run", "width 1 ms", "width 2 ms", "width 4 ms", "slowest / fastest"]
    if absent_corvane(goal, mods):
        return goal
    ratios = []
    for label, target in (("no callbacks", None), ("all callbacks", Collector())):
        env: dict[str, Any] = {"p": scanner(mods.corvane, True, target)}
        cases = []
        for width, doc in corpus.widths.items():
            env[f"text{width}"] = doc.text
            cases.append(Case(f"w{width}", f"p.parse(text{width})", env,
                              after=target.events.clear if target else None))
        got = compare(cases, settings)
        times = [got[f"w{w}"] for w in corpus.widths]
        r = max(ratio(a, b) for a in times for b in times)
        ratios.append(r)
        goal.bars.append((label, r))
        goal.rows.append([label] + [ms(t) for t in times] + [f"{r:.2f}"])
    goal.measured = max(ratios)
    return goal


# --- goal 5 -----------------------------------------------------------------

SHORT_DECL = "<?xml version='1.0' encoding='latin-1'?>\n<doc/>\n"


def small_functions(mods: Modules, settings: Settings, big_size: int) -> tuple[Goal, Goal, Goal]:
    vs_noop = Goal("5a", "Small functions / a no-op with the same argument format", 1.5, False)
    vs_pure = Goal("5b", "Pure-Python version / small function (speed-up)", 10.0, True)
    big = Goal("5c", "fixencoding on a 1 MiB text / str.replace doing the same rewrite",
               1.3, False)
    vs_noop.columns = ["call", "ns", "no-op ns", "pure-Python ns", "/ no-op", "pure / native",
                       "pure / no-op"]
    vs_pure.columns = vs_noop.columns
    big.columns = ["text", "fixencoding ms", "str.replace ms", "ratio"]
    calls = []
    if mods.vexil is not None:
        calls += [
            ("detectencoding(bytes)", mods.vexil.detectencoding, purepy.detectencoding,
             "object_flag", (SHORT_DECL.encode(),)),
            ("detectencoding(str)", mods.vexil.detectencoding, purepy.detectencoding,
             "object_flag", (SHORT_DECL,)),
            ("fixencoding(short text)", mods.vexil.fixencoding, purepy.fixencoding,
             "two_str_flag", (SHORT_DECL, "utf-8")),
        ]
    if mods.lumet is not None:
        calls += [
            ("switchcolor(default, bold red)", mods.lumet.switchcolor, purepy.switchcolor,
             "two_ints", (56, (1 << 3) | 0x40)),
            ("switchcolor(bold, red on white)", mods.lumet.switchcolor, purepy.switchcolor,
             "two_ints", (120, 15)),
        ]
    missing = [name for name, mod in (("_vexil", mods.vexil), ("_lumet", mods.lumet))
               if mod is None]
    if missing:
        note = " and ".join(missing) + " not installed: " + ", ".join(
            {"_vexil": "detectencoding, fixencoding", "_lumet": "switchcolor"}[m]
            for m in missing) + " not measured."
        vs_noop.notes.append(note)
        vs_pure.notes.append(note)
    if mods.noop is None:
        vs_noop.absent = "the no-op extension could not be built (" + mods.noop_error + ")"
    if not calls:
        vs_noop.absent = vs_pure.absent = "neither _vexil nor _lumet is installed"
    over_noop, speedups = [], []
    for label, native, pure, twin, args in calls:
        env = {"native": native, "pure": pure}
        env.update((f"a{i}", arg) for i, arg in enumerate(args))
        call = "(" + ", ".join(f"a{i}" for i in range(len(args))) + ")"
        cases = [Case("native", "native" + call, env), Case("pure", "pure" + call, env)]
        if mods.noop is not None:
            env["noop"] = getattr(mods.noop, twin)
            cases.append(Case("noop", "noop" + call, env))
        assert native(*args) == pure(*args), label
        got = compare(cases, settings)
        speedup = ratio(got["pure"], got["native"])
        speedups.append(speedup)
        vs_pure.bars.append((label, speedup))
        row = [label, ns(got["native"]), ns(got["noop"]) if "noop" in got else "-",
               ns(got["pure"])]
        if "noop" in got:
            over = ratio(got["native"], got["noop"])
            over_noop.append(over)
            vs_noop.bars.append((label, over))
            row += [f"{over:.2f}", f"{speedup:.1f}", f"{ratio(got['pure'], got['noop']):.1f}"]
        else:
            row += ["-", f"{speedup:.1f}", "-"]
        vs_noop.rows.append(row)
    vs_pure.rows = vs_noop.rows
    if over_noop:
        vs_noop.measured = max(over_noop)
        vs_noop.notes.append("The goal's figure is the largest ratio. Each column is the "
                             "whole call from Python, the interpreter's call overhead "
                             "included.")
    if speedups:
        vs_pure.measured = min(speedups)
        vs_pure.notes.append("The goal's figure is the smallest speed-up. The last column "
                             "is the ceiling for any native function with this argument "
                             "format: the pure version over the no-op.")
    if mods.vexil is None:
        big.absent = "the _vexil module is not installed"
        return vs_noop, vs_pure, big
    ratios = []
    body = documents.text_heavy(big_size)
    for label, text in (("width 1", SHORT_DECL + body),
                        ("width 2", SHORT_DECL + body + "\u20ac")):
        env = {"fix": mods.vexil.fixencoding, "text": text}
        assert mods.vexil.fixencoding(text, "utf-8") == text.replace(
            "encoding='latin-1'", "encoding='utf-8'", 1)
        got = compare([
            Case("fix", "fix(text, 'utf-8')", env),
            Case("replace", "text.replace(\"encoding='latin-1'\", \"encoding='utf-8'\", 1)",
                 env),
        ], settings)
        r = ratio(got["fix"], got["replace"])
        ratios.append(r)
        big.bars.append((label, r))
        big.rows.append([label, ms(got["fix"]), ms(got["replace"]), f"{r:.2f}"])
    big.measured = max(ratios)
    return vs_noop, vs_pure, big

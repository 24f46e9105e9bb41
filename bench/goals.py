"""The speed goals of the suite, each a ratio measured side by side in one run.

Every group returns Goal results: the measured ratio, the target, whether it
is met, and a table of the figures behind it. The memory goals are in
memory.py, the instruction counts in count.py.
"""

from __future__ import annotations

import collections
import pyexpat
import statistics
import sys
from html.parser import HTMLParser
from pathlib import Path
from typing import Any, Callable

import baseline
import documents
import purepy
from harness import Case, Timing, compare, ratio
from registry import Context, Goal, absent_corvane, amount, group

# The handler names live with the tests' twins.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "twins"))
from events import HANDLERS  # noqa: E402


def ms(t: Timing) -> str:
    return f"{t.seconds * 1e3:.3g}"


def ns(t: Timing) -> str:
    return f"{t.seconds * 1e9:.1f}"


def rate(t: Timing, units: float) -> str:
    return f"{units / t.seconds / 1e6:.1f}"


def scanner(corvane: Any, xml: bool, target: Any = None):
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


def _pugixml_loader(pugi: Any) -> Callable[[bytes], Any]:
    document = pugi.XMLDocument()

    def load(data: bytes) -> Any:
        return document.load_buffer(data, len(data))

    return load


def _reads(label: str, call: Callable[[], Any], notes: list[str], judged: bool = False) -> bool:
    """Whether a peer reads the document, so that none is timed on the part
    before an error. `judged`: the call's result is false on an error."""
    try:
        result = call()
    except Exception as e:  # a peer's own exception type, whatever it is
        notes.append(f"{label} failed on it ({type(e).__name__}): not timed.")
        return False
    if judged and not result:
        notes.append(f"{label} reported an error on it: not timed.")
        return False
    return True


# --- goal 1 -----------------------------------------------------------------


@group("1", "Bare scan, XML mode, against the native parsers")
def scan_throughput(ctx: Context) -> list[Goal]:
    """corvane's parse(str) with nothing bound against parsers that read the
    document's UTF-8 bytes: pugixml's load_buffer and rapidxml (which build a
    tree), expat with no handlers and lxml's feed parser; then the same with
    the UTF-8 decode of the bytes counted in corvane's time."""
    corpus, mods = ctx.corpus, ctx.mods
    pug = Goal(
        "1a",
        "Bare scan vs pugixml on the XML data files: pugixml load_buffer time / corvane parse(str) time",
        1.5,
        True,
    )
    exp = Goal("1b", "Bare scan vs expat on every XML document: expat time / corvane parse(str) time", 6.0, True)
    pug_decode = Goal("1c", "As 1a, the UTF-8 decode of the bytes in corvane's time", 1.5, True)
    exp_decode = Goal("1d", "As 1b, the UTF-8 decode of the bytes in corvane's time", 6.0, True)
    goals = [pug, exp, pug_decode, exp_decode]
    if any([absent_corvane(g, mods) for g in goals]):
        return goals
    pug.columns = [
        "document",
        "code points",
        "corvane ms",
        "pugixml ms",
        "rapidxml ms",
        "pugixml / corvane",
        "rapidxml / corvane",
    ]
    exp.columns = [
        "document",
        "code points",
        "corvane ms",
        "corvane Mcp/s",
        "expat ms",
        "lxml ms",
        "expat / corvane",
        "lxml / corvane",
    ]
    pug_decode.columns = [
        "document",
        "decode ms",
        "decode + corvane ms",
        "pugixml / (decode + corvane)",
        "rapidxml / (decode + corvane)",
    ]
    exp_decode.columns = [
        "document",
        "decode ms",
        "decode + corvane ms",
        "expat / (decode + corvane)",
        "lxml / (decode + corvane)",
    ]
    peers_missing = [
        name
        for name, mod in (("pugixml", mods.pugi), ("rapidxml", mods.rapidxml), ("lxml", mods.lxml_etree))
        if mod is None
    ]
    if peers_missing:
        exp.notes.append(", ".join(peers_missing) + " not installed: their columns are empty.")
    if mods.pugi is None:
        pug.absent = pug_decode.absent = "pugixml is not installed"
    figures: dict[str, list[float]] = {g.key: [] for g in goals}

    def cell(got: dict[str, Timing], a: str, b: str) -> tuple[float | None, str]:
        if a not in got or b not in got:
            return None, "-"
        r = ratio(got[a], got[b])
        return r, f"{r:.2f}"

    for doc in corpus.xml:
        env: dict[str, Any] = {
            "p": scanner(mods.corvane, True),
            "text": doc.text,
            "data": doc.data,
            "expat": pyexpat.ParserCreate,
            "lxml": _lxml_feed,
        }
        cases = [
            Case("corvane", "p.parse(text)", env),
            Case("decode+corvane", "p.parse(data.decode())", env),
            Case("decode", "data.decode()", env),
            Case("expat", "expat().Parse(data, True)", env),
        ]
        notes: list[str] = []
        if mods.pugi is not None:
            env["pugixml"] = _pugixml_loader(mods.pugi)
            if _reads(f"pugixml on {doc.name}", lambda: env["pugixml"](doc.data), notes, judged=True):
                cases.append(Case("pugixml", "pugixml(data)", env))
        if mods.rapidxml is not None:
            env["rapidxml"] = mods.rapidxml.RapidXml
            if _reads(f"rapidxml on {doc.name}", lambda: env["rapidxml"](doc.data), notes):
                cases.append(Case("rapidxml", "rapidxml(data)", env))
        if mods.lxml_etree is not None:
            etree = mods.lxml_etree
            env["make"] = lambda: etree.XMLParser(target=_Null())
            cases.append(Case("lxml", "lxml(make, data)", env))
        got = compare(cases, ctx.settings)
        n = len(doc.text)
        ratios = {}
        for key, peer, own in (
            ("pug", "pugixml", "corvane"),
            ("rap", "rapidxml", "corvane"),
            ("exp", "expat", "corvane"),
            ("lxml", "lxml", "corvane"),
            ("pug_d", "pugixml", "decode+corvane"),
            ("rap_d", "rapidxml", "decode+corvane"),
            ("exp_d", "expat", "decode+corvane"),
            ("lxml_d", "lxml", "decode+corvane"),
        ):
            ratios[key] = cell(got, peer, own)

        def t(label: str) -> str:
            return ms(got[label]) if label in got else "-"

        if doc.data_file:
            pug.rows.append(
                [doc.name, f"{n:,}", t("corvane"), t("pugixml"), t("rapidxml"), ratios["pug"][1], ratios["rap"][1]]
            )
            pug_decode.rows.append(
                [doc.name, t("decode"), t("decode+corvane"), ratios["pug_d"][1], ratios["rap_d"][1]]
            )
            for goal, key in ((pug, "pug"), (pug_decode, "pug_d")):
                if ratios[key][0] is not None:
                    figures[goal.key].append(ratios[key][0])
                    goal.bars.append((doc.name, ratios[key][0]))
        exp.rows.append(
            [
                doc.name,
                f"{n:,}",
                t("corvane"),
                rate(got["corvane"], n),
                t("expat"),
                t("lxml"),
                ratios["exp"][1],
                ratios["lxml"][1],
            ]
        )
        exp_decode.rows.append(
            [doc.name, t("decode"), t("decode+corvane"), ratios["exp_d"][1], ratios["lxml_d"][1]]
        )
        for goal, key in ((exp, "exp"), (exp_decode, "exp_d")):
            figures[goal.key].append(ratios[key][0])
            goal.bars.append((doc.name, ratios[key][0]))
        exp.notes += notes
    for goal in goals:
        if figures[goal.key]:
            goal.measured = min(figures[goal.key])
    if mods.pugi is not None and not figures[pug.key]:
        pug.absent = pug_decode.absent = "pugixml read none of the XML data files"
    pug.notes.append(
        "The goal's figure is the smallest ratio over the XML data files. "
        "pugixml and rapidxml build a whole tree from the UTF-8 bytes; "
        "corvane scans the str with nothing bound."
    )
    exp.notes.append(
        "The goal's figure is the smallest ratio over the XML documents. "
        "expat and lxml read the UTF-8 bytes, corvane the str."
    )
    for goal in (pug_decode, exp_decode):
        goal.notes.append(
            "corvane's time here is that of p.parse(data.decode()), what a "
            "caller holding the bytes pays; the decode alone is timed in the "
            "same rounds."
        )
    return goals


# --- goal 2 -----------------------------------------------------------------


@group("2", "Instructions per code point")
def instruction_counts(ctx: Context) -> list[Goal]:
    goal = Goal(
        "2",
        "Instructions per code point, no callbacks (callgrind)",
        0,
        False,
        absent="counted with callgrind, not timed: `scripts/bench.sh --instructions` writes instructions.md",
    )
    return [goal]


class Collector:
    """Binds every handler to one list's append (a lambda for handle_proc)."""

    def __init__(self) -> None:
        self.events: list[str] = []
        append = self.events.append
        for name in HANDLERS:
            setattr(self, "handle_" + name, append)
        self.handle_proc = lambda target, data: append(target)


# --- goal 4 -----------------------------------------------------------------


def every_document(corpus: documents.Corpus) -> list[tuple[documents.Document, bool]]:
    """Each document with its mode: XML mode for the XML ones, SGML for the pages."""
    return [(d, True) for d in corpus.xml] + [(d, False) for d in corpus.sgml]


@group("4", "Cost per callback")
def callback_cost(ctx: Context) -> list[Goal]:
    goal = Goal(
        "4", "Cost per callback beyond the bare scan / cost per item of deque(map(append, strings), 0)", 2.0, False
    )
    goal.columns = [
        "document",
        "mode",
        "calls",
        "scan ms",
        "callbacks ms",
        "ns per call",
        "deque ns per item",
        "ratio",
    ]
    if absent_corvane(goal, ctx.mods):
        return [goal]
    ratios = []
    for doc, xml in every_document(ctx.corpus):
        target = Collector()
        p = scanner(ctx.mods.corvane, xml, target)
        p.parse(doc.text)
        strings = list(target.events)
        target.events.clear()
        calls = len(strings)
        if not calls:
            continue
        sink: list[str] = []
        env = {
            "bare": scanner(ctx.mods.corvane, xml),
            "p": p,
            "text": doc.text,
            "deque": collections.deque,
            "append": sink.append,
            "strings": strings,
        }
        got = compare(
            [
                Case("scan", "bare.parse(text)", env),
                Case("callbacks", "p.parse(text)", env, after=target.events.clear),
                Case("deque", "deque(map(append, strings), 0)", env, after=sink.clear),
            ],
            ctx.settings,
        )
        per_call = (got["callbacks"].seconds - got["scan"].seconds) / calls
        per_item = got["deque"].seconds / calls
        # Per round, as harness.ratio does, since this is a difference of two.
        r = statistics.median(
            (c - s) / d for c, s, d in zip(got["callbacks"].samples, got["scan"].samples, got["deque"].samples)
        )
        ratios.append(r)
        goal.bars.append((doc.name, r))
        goal.rows.append(
            [
                doc.name,
                "XML" if xml else "SGML",
                f"{calls:,}",
                ms(got["scan"]),
                ms(got["callbacks"]),
                f"{per_call * 1e9:.1f}",
                f"{per_item * 1e9:.1f}",
                f"{r:.2f}",
            ]
        )
    goal.measured = max(ratios)
    goal.notes.append(
        "Every handler is bound to a list's append. The goal's figure is the "
        "largest ratio over the documents, in XML mode for the XML ones and "
        "SGML mode for the HTML pages."
    )
    return [goal]


# --- goal 5 -----------------------------------------------------------------

PIECE = 4096
PATHOLOGICAL = {
    "comment": ("<!--", "-->\n"),
    "CDATA section": ("<![CDATA[", "]]>\n"),
    "quoted attribute value": ('<a b="', '">\n'),
}


def feed_pieces(p: Any, pieces: list[str]) -> None:
    for piece in pieces:
        p.feed(piece)
    p.close()


def cut(text: str, piece: int) -> list[str]:
    return [text[i : i + piece] for i in range(0, len(text), piece)]


def pathological_text(opening: str, closing: str, size: int) -> str:
    body = documents.text_heavy(size)
    body = body[body.index("<p>") + 3 :]
    body = "".join(c for c in body[:size] if c not in "<>&-]\"'")
    body = (body * (size // max(len(body), 1) + 1))[:size]
    return opening + body + closing


def pieces_vs_whole(
    key: str,
    title: str,
    target: float,
    group: list[tuple[str, str, bool]],
    ctx: Context,
    piece: int,
    whole_over_pieces: bool = False,
) -> Goal:
    """The largest ratio of feeding each text in pieces over parsing it whole
    (or of parsing it whole over feeding it in pieces)."""
    goal = Goal(key, title, target, False)
    goal.columns = [
        "document",
        "code points",
        "whole ms",
        "pieces ms",
        "whole / pieces" if whole_over_pieces else "pieces / whole",
    ]
    if absent_corvane(goal, ctx.mods):
        return goal
    ratios = []
    for name, text, xml in group:
        env = {"p": scanner(ctx.mods.corvane, xml), "text": text, "feed": feed_pieces, "pieces": cut(text, piece)}
        got = compare([Case("whole", "p.parse(text)", env), Case("pieces", "feed(p, pieces)", env)], ctx.settings)
        r = ratio(got["whole"], got["pieces"]) if whole_over_pieces else ratio(got["pieces"], got["whole"])
        ratios.append(r)
        goal.bars.append((name, r))
        goal.rows.append([name, f"{len(text):,}", ms(got["whole"]), ms(got["pieces"]), f"{r:.2f}"])
    goal.measured = max(ratios)
    goal.notes.append("The goal's figure is the largest ratio.")
    return goal


def width_independence(ctx: Context) -> Goal:
    goal = Goal("5c", "The same document at widths 1, 2, 4: slowest / fastest", 1.2, False)
    goal.columns = ["run", "width 1 ms", "width 2 ms", "width 4 ms", "slowest / fastest"]
    if absent_corvane(goal, ctx.mods):
        return goal
    ratios = []
    for label, target in (("no callbacks", None), ("all callbacks", Collector())):
        env: dict[str, Any] = {"p": scanner(ctx.mods.corvane, True, target)}
        cases = []
        for width, doc in ctx.corpus.widths.items():
            env[f"text{width}"] = doc.text
            cases.append(
                Case(f"w{width}", f"p.parse(text{width})", env, after=target.events.clear if target else None)
            )
        got = compare(cases, ctx.settings)
        times = [got[f"w{w}"] for w in ctx.corpus.widths]
        r = max(ratio(a, b) for a in times for b in times)
        ratios.append(r)
        goal.bars.append((label, r))
        goal.rows.append([label] + [ms(t) for t in times] + [f"{r:.2f}"])
    goal.measured = max(ratios)
    return goal


def sgml_pages(ctx: Context) -> Goal:
    """SGML mode against lxml's HTML parser timed in the same rounds, over
    the same ratio measured before the scanner's rewrite (baseline.py): a
    ratio of two parsers moves far less with the machine's load than a time,
    so a drop shows a slower corvane, not a busier machine."""
    goal = Goal(
        "5d",
        "SGML mode on the HTML pages: (lxml HTML time / corvane time) now / the same before, geometric mean",
        baseline.SGML_TOLERANCE,
        True,
    )
    goal.columns = [
        "page",
        "code points",
        "corvane ms",
        "lxml ms",
        "html.parser ms",
        "lxml / corvane",
        "before",
        "now / before",
        "html.parser / corvane",
    ]
    if absent_corvane(goal, ctx.mods):
        return goal
    etree = ctx.mods.lxml_etree
    if etree is None:
        goal.absent = "lxml is not installed"
        return goal
    ratios = []
    for doc in ctx.corpus.sgml:
        env = {
            "p": scanner(ctx.mods.corvane, False),
            "text": doc.text,
            "data": doc.data,
            "html": _html_parser,
            "lxml": _lxml_feed,
            "make": lambda: etree.HTMLParser(target=_Null()),
        }
        got = compare(
            [
                Case("corvane", "p.parse(text)", env),
                Case("lxml", "lxml(make, data)", env),
                Case("html.parser", "html(text)", env),
            ],
            ctx.settings,
        )
        now = ratio(got["lxml"], got["corvane"])
        before = baseline.SGML_VS_LXML.get(doc.name)
        change = "-"
        if before is not None:
            ratios.append(now / before)
            goal.bars.append((doc.name, now / before))
            change = f"{now / before:.2f}"
        goal.rows.append(
            [
                doc.name,
                f"{len(doc.text):,}",
                ms(got["corvane"]),
                ms(got["lxml"]),
                ms(got["html.parser"]),
                f"{now:.2f}",
                f"{before:.2f}" if before is not None else "-",
                change,
                f"{ratio(got['html.parser'], got['corvane']):.1f}",
            ]
        )
    if ratios:
        goal.measured = statistics.geometric_mean(ratios)
    else:
        goal.absent = "no page of this run has a figure from before (baseline.py)"
    goal.notes.append(
        f"The goal's figure is the geometric mean of now / before over the pages. {baseline.SGML_NOTE}"
    )
    return goal


@group("5", "Nothing else gets slower")
def no_slower(ctx: Context) -> list[Goal]:
    texts = [(d.name, d.text, xml) for d, xml in every_document(ctx.corpus)]
    size = amount(ctx.sizes.pathological)
    constructs = [
        (f"{size} code point {name}", pathological_text(o, c, ctx.sizes.pathological), True)
        for name, (o, c) in PATHOLOGICAL.items()
    ]
    return [
        pieces_vs_whole("5a", "Fed in 4 KiB pieces / fed whole, no callbacks", 1.1, texts, ctx, PIECE),
        pieces_vs_whole(
            "5b",
            f"An unfinished {size} code point construct fed in 4 KiB pieces / fed whole (linear time)",
            3.0,
            constructs,
            ctx,
            PIECE,
        ),
        width_independence(ctx),
        sgml_pages(ctx),
    ]


# --- goal 6 -----------------------------------------------------------------

SHORT_DECL = "<?xml version='1.0' encoding='latin-1'?>\n<doc/>\n"


@group("6", "Small functions")
def small_functions(ctx: Context) -> list[Goal]:
    mods, settings = ctx.mods, ctx.settings
    vs_noop = Goal("6a", "Small functions / a no-op with the same argument format", 1.5, False)
    vs_pure = Goal("6b", "Pure-Python version / small function (speed-up)", 10.0, True)
    big = Goal(
        "6c",
        f"fixencoding on a {amount(ctx.sizes.document)} code point text / str.replace doing the same rewrite",
        1.3,
        False,
    )
    vs_noop.columns = ["call", "ns", "no-op ns", "pure-Python ns", "/ no-op", "pure / native", "pure / no-op"]
    vs_pure.columns = vs_noop.columns
    big.columns = ["text", "fixencoding ms", "str.replace ms", "ratio"]
    calls = []
    if mods.vexil is not None:
        calls += [
            (
                "detectencoding(bytes)",
                mods.vexil.detectencoding,
                purepy.detectencoding,
                "object_flag",
                (SHORT_DECL.encode(),),
            ),
            ("detectencoding(str)", mods.vexil.detectencoding, purepy.detectencoding, "object_flag", (SHORT_DECL,)),
            (
                "fixencoding(short text)",
                mods.vexil.fixencoding,
                purepy.fixencoding,
                "two_str_flag",
                (SHORT_DECL, "utf-8"),
            ),
        ]
    if mods.lumet is not None:
        calls += [
            (
                "switchcolor(default, bold red)",
                mods.lumet.switchcolor,
                purepy.switchcolor,
                "two_ints",
                (56, (1 << 3) | 0x40),
            ),
            ("switchcolor(bold, red on white)", mods.lumet.switchcolor, purepy.switchcolor, "two_ints", (120, 15)),
        ]
    missing = [name for name, mod in (("_vexil", mods.vexil), ("_lumet", mods.lumet)) if mod is None]
    if missing:
        note = (
            " and ".join(missing)
            + " not installed: "
            + ", ".join({"_vexil": "detectencoding, fixencoding", "_lumet": "switchcolor"}[m] for m in missing)
            + " not measured."
        )
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
        row = [label, ns(got["native"]), ns(got["noop"]) if "noop" in got else "-", ns(got["pure"])]
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
        vs_noop.notes.append(
            "The goal's figure is the largest ratio. Each column is the "
            "whole call from Python, the interpreter's call overhead "
            "included."
        )
    if speedups:
        vs_pure.measured = min(speedups)
        vs_pure.notes.append(
            "The goal's figure is the smallest speed-up. The last column "
            "is the ceiling for any native function with this argument "
            "format: the pure version over the no-op."
        )
    if mods.vexil is None:
        big.absent = "the _vexil module is not installed"
        return [vs_noop, vs_pure, big]
    ratios = []
    body = documents.text_heavy(ctx.sizes.document)
    for label, text in (("width 1", SHORT_DECL + body), ("width 2", SHORT_DECL + body + "\u20ac")):
        env = {"fix": mods.vexil.fixencoding, "text": text}
        assert mods.vexil.fixencoding(text, "utf-8") == text.replace("encoding='latin-1'", "encoding='utf-8'", 1)
        got = compare(
            [
                Case("fix", "fix(text, 'utf-8')", env),
                Case("replace", "text.replace(\"encoding='latin-1'\", \"encoding='utf-8'\", 1)", env),
            ],
            settings,
        )
        r = ratio(got["fix"], got["replace"])
        ratios.append(r)
        big.bars.append((label, r))
        big.rows.append([label, ms(got["fix"]), ms(got["replace"]), f"{r:.2f}"])
    big.measured = max(ratios)
    return [vs_noop, vs_pure, big]

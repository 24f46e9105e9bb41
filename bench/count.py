"""Instructions per code point and per call, counted with valgrind's callgrind.

Timings on a shared machine wander; instruction counts do not. They are the
measure of goal 2 (instructions per code point of the bare scan), and for the
other goals they say what bounds them: how much work each code point or each
call takes, beside the same count for the peer it is compared with and for
the implementation before the scanner's rewrite (baseline.py).

Each document is set up in a child interpreter under callgrind, once with no
repetition and once per case with N repetitions, so start-up and set-up
cancel out; the child's hash seed is fixed, since a random one moves the
start-up's count by more than a cheap case's whole work.

Run through `scripts/bench.sh --instructions`; writes bench/instructions.md.
"""

from __future__ import annotations

import collections
import gc
import os
import pyexpat
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable

HERE = Path(__file__).resolve().parent
SIZE = 1 << 18  # code points per generated document: callgrind is slow
GENERATED = ["markup_dense", "text_heavy", "attribute_heavy", "reference_heavy"]
SHORT_DECL = "<?xml version='1.0' encoding='latin-1'?>\n<doc/>\n"
SCAN_RUNS = 10  # the scans are cheap beside the interpreter's start-up
CALL_RUNS = 3
SMALL_RUNS = 20000

# Goal 2: instructions per code point of the bare scan, XML mode.
TARGETS = {"markup-dense": 20.0, "reference-heavy": 10.0, "attribute-heavy": 8.0, "text-heavy": 2.5}


def _source_text(source: str) -> str:
    """A document named as "gen:FUNCTION" (generated) or "file:PATH"."""
    kind, _, what = source.partition(":")
    sys.path.insert(0, str(HERE))
    import documents

    if kind == "gen":
        return getattr(documents, what)(SIZE)
    return Path(what).read_bytes().decode("utf-8", errors="replace")


def setup(source: str, xml: bool) -> dict[str, tuple[Callable[[], Any], int]]:
    """Every case of a document: its callable and the units one run holds.

    All of them are made whatever the case, so that the set-up is the same in
    every run of the document and one run with no repetition serves them all.
    """
    sys.path.insert(0, str(HERE))
    import corvane
    import goals

    text = _source_text(source)
    data = text.encode()
    cases: dict[str, tuple[Callable[[], Any], int]] = {}
    bare = goals.scanner(corvane, xml)
    cases["scan"] = (lambda: bare.parse(text)), len(text)
    target = goals.Collector()
    p = goals.scanner(corvane, xml, target)
    p.parse(text)
    strings = list(target.events)
    target.events.clear()

    def callbacks() -> None:
        p.parse(text)
        target.events.clear()

    cases["callbacks"] = callbacks, len(strings)
    sink: list[str] = []
    append = sink.append

    def fill() -> None:
        collections.deque(map(append, strings), 0)
        sink.clear()

    cases["deque"] = fill, len(strings)
    if xml:
        cases["expat"] = (lambda: pyexpat.ParserCreate().Parse(data, True)), len(text)
        try:
            from pugixml import pugi
        except ImportError:
            pass
        else:
            tree = pugi.XMLDocument()
            cases["pugixml"] = (lambda: tree.load_buffer(data, len(data))), len(text)
    return cases


def setup_calls() -> dict[str, tuple[Callable[[], Any], int]]:
    sys.path.insert(0, str(HERE))
    import _lumet
    import _vexil
    import noop

    twin = noop.load()
    calls = {
        "detectencoding-bytes": (_vexil.detectencoding, twin.object_flag, (SHORT_DECL.encode(),)),
        "detectencoding-str": (_vexil.detectencoding, twin.object_flag, (SHORT_DECL,)),
        "fixencoding": (_vexil.fixencoding, twin.two_str_flag, (SHORT_DECL, "utf-8")),
        "switchcolor": (_lumet.switchcolor, twin.two_ints, (56, 72)),
    }
    cases: dict[str, tuple[Callable[[], Any], int]] = {}
    for name, (native, no_op, args) in calls.items():
        cases[name] = (lambda f=native, a=args: f(*a)), 1
        cases["noop:" + name] = (lambda f=no_op, a=args: f(*a)), 1
    return cases


def cases_of(subject: str) -> dict[str, tuple[Callable[[], Any], int]]:
    """subject: "calls", or "xml|SOURCE" / "sgml|SOURCE"."""
    if subject == "calls":
        return setup_calls()
    mode, _, source = subject.partition("|")
    return setup(source, mode == "xml")


def child(subject: str, case: str, n: int) -> None:
    cases = cases_of(subject)
    run = cases[case][0] if n else None
    # As in the timed runs: a collection that happens to fall into one of the
    # two runs would count against the case.
    gc.disable()
    for _ in range(n):
        run()


def instructions(subject: str, case: str, n: int) -> int:
    env = dict(os.environ, PYTHONHASHSEED="0")
    out = subprocess.run(
        [
            "valgrind",
            "--tool=callgrind",
            "--callgrind-out-file=/dev/null",
            sys.executable,
            __file__,
            "--child",
            subject,
            case,
            str(n),
        ],
        capture_output=True,
        text=True,
        check=True,
        env=env,
    )
    return int(re.search(r"Collected : (\d+)", out.stderr).group(1))


@dataclass
class Counted:
    """Instructions per unit of each case of one document (or of the calls)."""

    per_unit: dict[str, float]
    units: dict[str, int]


def count(subject: str, wanted: list[str], runs: dict[str, int]) -> Counted:
    cases = cases_of(subject)
    base = instructions(subject, "-", 0)
    per_unit, units = {}, {}
    for case in wanted:
        if case not in cases:
            continue
        n = runs.get(case, CALL_RUNS)
        units[case] = cases[case][1]
        if units[case]:
            per_unit[case] = (instructions(subject, case, n) - base) / (n * units[case])
    return Counted(per_unit, units)


SCANS = {"scan": SCAN_RUNS, "expat": SCAN_RUNS, "pugixml": SCAN_RUNS}


def fmt(x: float | None, digits: int = 1) -> str:
    return "-" if x is None else f"{x:.{digits}f}"


def over(a: float | None, b: float | None) -> str:
    return "-" if a is None or b is None or not b else f"{a / b:.2f}"


def table(columns: list[str], rows: list[list[str]]) -> list[str]:
    return ["| " + " | ".join(columns) + " |", "|" + " --- |" * len(columns)] + [
        "| " + " | ".join(r) + " |" for r in rows
    ]


def main() -> int:
    if shutil.which("valgrind") is None:
        print("valgrind is not installed: no instruction counts")
        return 0
    sys.path.insert(0, str(HERE))
    import baseline
    import documents

    def progress(line: str) -> None:
        print(line, flush=True)

    goal2, peers, calls_rows, pages = [], [], [], []
    verdicts = []
    for name in GENERATED:
        label = name.replace("_", "-")
        got = count(f"xml|gen:{name}", ["scan", "expat", "pugixml", "callbacks", "deque"], SCANS)
        scan = got.per_unit["scan"]
        before = baseline.SCAN_INSTRUCTIONS.get(label)
        target = TARGETS[label]
        met = scan <= target
        verdicts.append(met)
        goal2.append(
            [label, fmt(before), f"{scan:.1f}", f"{target:g}", over(scan, before), "met" if met else "missed"]
        )
        progress(f"{label}: {scan:.1f} instructions per code point")
        peers.append(
            [
                label,
                f"{scan:.1f}",
                fmt(got.per_unit.get("expat")),
                fmt(got.per_unit.get("pugixml")),
                over(got.per_unit.get("expat"), scan),
                over(got.per_unit.get("pugixml"), scan),
            ]
        )
        calls = got.units["callbacks"]
        if calls:
            extra = got.per_unit["callbacks"] - scan * got.units["scan"] / calls
            item = got.per_unit["deque"]
            calls_rows.append([label, f"{calls:,}", f"{extra:.0f}", f"{item:.0f}", f"{extra / item:.2f}"])
    for data_file in documents.DATA_FILES:
        path = data_file.find()
        if path is None:
            continue
        got = count(f"xml|file:{path}", ["scan", "expat", "pugixml"], SCANS)
        scan = got.per_unit["scan"]
        peers.append(
            [
                data_file.name,
                f"{scan:.1f}",
                fmt(got.per_unit.get("expat")),
                fmt(got.per_unit.get("pugixml")),
                over(got.per_unit.get("expat"), scan),
                over(got.per_unit.get("pugixml"), scan),
            ]
        )
        progress(f"{data_file.name}: {scan:.1f} instructions per code point")
    for page in documents.documentation_pages(3, SIZE):
        if page.path is None:
            continue
        got = count(f"sgml|file:{page.path}", ["scan"], SCANS)
        scan = got.per_unit["scan"]
        before = baseline.SGML_INSTRUCTIONS.get(page.name)
        pages.append([page.name, f"{got.units['scan']:,}", fmt(before), f"{scan:.1f}", over(scan, before)])
        progress(f"{page.name}: {scan:.1f} instructions per code point (SGML mode)")
    small = []
    functions = ("detectencoding-bytes", "detectencoding-str", "fixencoding", "switchcolor")
    wanted = [c for name in functions for c in (name, "noop:" + name)]
    got = count("calls", wanted, dict.fromkeys(wanted, SMALL_RUNS))
    for name in functions:
        native, twin = got.per_unit[name], got.per_unit["noop:" + name]
        small.append([name, f"{native:.0f}", f"{twin:.0f}", f"{native / twin:.2f}"])

    met = sum(verdicts)
    lines = [
        "# Instructions per code point and per call",
        "",
        "Counted with valgrind's callgrind (`scripts/bench.sh --instructions`). Each "
        "figure is the difference of two runs of a child interpreter with its hash seed "
        f"fixed, one with no repetition and one with {SCAN_RUNS} (scans) or "
        f"{CALL_RUNS} (callbacks) repetitions, so interpreter start-up and set-up "
        f"cancel out. Generated documents of {SIZE:,} code points; the XML data files "
        "and documentation pages where the machine has them. No callbacks are bound "
        "for the scans.",
        "",
        "## Goal 2: instructions per code point, bare scan, XML mode",
        "",
        f"{met} of {len(verdicts)} met. Before: the scanner before its rewrite (baseline.py).",
        "",
    ]
    lines += table(["document", "before", "now", "target (at most)", "now / before", "verdict"], goal2)
    lines += [
        "",
        "## The scan beside the peers (goal 1)",
        "",
        "Instructions per code point; pugixml's load_buffer and expat read the UTF-8 "
        "bytes (pugixml building its tree).",
        "",
    ]
    lines += table(["document", "corvane", "expat", "pugixml", "expat / corvane", "pugixml / corvane"], peers)
    lines += [
        "",
        "## Callbacks (goal 4)",
        "",
        "Every handler bound to a list's append: the instructions per call beyond the "
        "bare scan, beside those per item of deque(map(append, strings), 0).",
        "",
    ]
    lines += table(["document", "calls", "callback extra / call", "deque / item", "extra / item"], calls_rows)
    if pages:
        lines += [
            "",
            "## SGML mode on the documentation pages (goal 5d)",
            "",
            "Instructions per code point of the bare scan; before: the scanner before its rewrite (baseline.py).",
            "",
        ]
        lines += table(["page", "code points", "before", "now", "now / before"], pages)
    lines += [
        "",
        "## Small functions (goal 6)",
        "",
        f"Instructions per call ({SMALL_RUNS:,} calls counted per case).",
        "",
    ]
    lines += table(["call", "instructions", "no-op twin", "ratio"], small)
    (HERE / "instructions.md").write_text("\n".join(lines) + "\n", encoding="utf-8")
    print("\n".join(lines))
    print("wrote bench/instructions.md")
    return 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        child(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    else:
        sys.exit(main())

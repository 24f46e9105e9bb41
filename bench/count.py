"""Instructions per code point and per call, counted with valgrind's callgrind.

Timings on a shared machine wander; instruction counts do not. For a goal
that is missed, these counts say what bounds it: how much work each code
point or each call takes, beside the same count for the peer it is compared
with. Each case runs in a child interpreter under callgrind twice, with 0
and with N repetitions, so start-up and set-up cancel out.

Run through `scripts/bench.sh --instructions`; writes bench/instructions.md.
"""

from __future__ import annotations

import collections
import gc
import pyexpat
import re
import shutil
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
SIZE = 1 << 18  # code points per generated document: callgrind is slow
DOCS = ["markup_dense", "text_heavy", "attribute_heavy", "reference_heavy"]
SHORT_DECL = "<?xml version='1.0' encoding='latin-1'?>\n<doc/>\n"


def setup(case: str):
    """The callable a case repeats and the units one run of it holds."""
    sys.path.insert(0, str(HERE))
    import documents
    import goals
    import noop

    kind, _, arg = case.partition(":")
    if kind in ("scan", "expat", "callbacks", "deque"):
        text = getattr(documents, arg)(SIZE)
        if kind == "expat":
            data = text.encode()
            return lambda: pyexpat.ParserCreate().Parse(data, True), len(text)
        import corvane
        target = goals.Collector()
        p = corvane.XMLParser()
        p.register(target)
        p.parse(text)
        strings = list(target.events)
        if kind == "callbacks":
            def run():
                p.parse(text)
                target.events.clear()
            return run, len(strings)
        if kind == "deque":
            sink: list[str] = []
            append = sink.append

            def fill():
                collections.deque(map(append, strings), 0)
                sink.clear()
            return fill, len(strings)
        p.register(None)
        return (lambda: p.parse(text)), len(text)
    import _lumet
    import _vexil
    twin = noop.load()
    calls = {
        "detectencoding-bytes": (_vexil.detectencoding, twin.object_flag, (SHORT_DECL.encode(),)),
        "detectencoding-str": (_vexil.detectencoding, twin.object_flag, (SHORT_DECL,)),
        "fixencoding": (_vexil.fixencoding, twin.two_str_flag, (SHORT_DECL, "utf-8")),
        "switchcolor": (_lumet.switchcolor, twin.two_ints, (56, 72)),
    }
    native, no_op, args = calls[arg]
    fn = no_op if kind == "noop" else native
    return (lambda: fn(*args)), 1


def child(case: str, n: int) -> None:
    run, _ = setup(case)
    # As in the timed runs: a collection that happens to fall into one of the
    # two runs would count against the case.
    gc.disable()
    for _ in range(n):
        run()


def instructions(case: str, n: int) -> int:
    out = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
         sys.executable, __file__, "--child", case, str(n)],
        capture_output=True, text=True, check=True)
    return int(re.search(r"Collected : (\d+)", out.stderr).group(1))


def per_unit(case: str, n: int) -> float:
    _, units = setup(case)
    return (instructions(case, n) - instructions(case, 0)) / (n * units)


def main() -> int:
    if shutil.which("valgrind") is None:
        print("valgrind is not installed: no instruction counts")
        return 0
    lines = ["# Instructions per code point and per call", "",
             "Counted with valgrind's callgrind (`scripts/bench.sh --instructions`), "
             f"generated documents of {SIZE:,} code points, XML mode, no callbacks bound "
             "for the scan. Each figure is the difference of two runs (0 and N "
             "repetitions), so interpreter start-up and set-up cancel out.", "",
             "## Scan (goal 1) and callbacks (goal 2)", "",
             "| document | corvane / cp | expat / cp | expat / corvane | "
             "calls | callback extra / call | deque / item | extra / item |",
             "| --- | --- | --- | --- | --- | --- | --- | --- |"]
    for doc in DOCS:
        scan = per_unit("scan:" + doc, 3)
        expat = per_unit("expat:" + doc, 3)
        _, calls = setup("callbacks:" + doc)
        _, cps = setup("scan:" + doc)
        callbacks = per_unit("callbacks:" + doc, 3)
        extra = callbacks - scan * cps / calls
        item = per_unit("deque:" + doc, 3)
        lines.append(f"| {doc.replace('_', '-')} | {scan:.1f} | {expat:.1f} | "
                     f"{expat / scan:.2f} | {calls:,} | {extra:.0f} | {item:.0f} | "
                     f"{extra / item:.2f} |")
        print(lines[-1], flush=True)
    lines += ["", "## Small functions (goal 5)", "",
              "| call | instructions | no-op twin | ratio |", "| --- | --- | --- | --- |"]
    for name in ("detectencoding-bytes", "detectencoding-str", "fixencoding", "switchcolor"):
        native = per_unit("call:" + name, 20000)
        twin = per_unit("noop:" + name, 20000)
        lines.append(f"| {name} | {native:.0f} | {twin:.0f} | {native / twin:.2f} |")
        print(lines[-1], flush=True)
    (HERE / "instructions.md").write_text("\n".join(lines) + "\n", encoding="utf-8")
    print("wrote bench/instructions.md")
    return 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        child(sys.argv[2], int(sys.argv[3]))
    else:
        sys.exit(main())

"""Goal 3: what a whole parse costs in memory, and at size.

The memory a call adds is the highest number of bytes the process holds in
allocated blocks during the call, less what it held just before. The
parser's held text comes from the C allocator, where tracemalloc does not
look, and it is released before `parse` returns, where no reading taken
after the call can see it. So each case runs in a child interpreter with a
counting layer over glibc's allocator preloaded (allocations.cpp, built into
build/) and with PYTHONMALLOC=malloc, which sends the interpreter's own
objects through the same allocator: one counter then sees every block of the
process, and its peak is reset just before the call.
"""

from __future__ import annotations

import ctypes
import functools
import gc
import json
import os
import pyexpat
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any

import documents
import native
from goals import every_document, pieces_vs_whole, scanner
from registry import Context, Goal, absent_corvane, amount, group

COUNTER_SOURCE = native.HERE / "allocations.cpp"
COUNTER_NAME = "libbenchallocations.so"
LARGE_PIECE = 64 << 10
MIB = 1 << 20


def width(text: str) -> int:
    top = max(map(ord, text), default=0)
    return 1 if top < 0x100 else 2 if top < 0x10000 else 4


class Counter:
    """The preloaded counter as the child sees it."""

    def __init__(self, path: str) -> None:
        lib = ctypes.CDLL(path)
        for name in ("allocations_in_use", "allocations_peak"):
            getattr(lib, name).restype = ctypes.c_longlong
        self.lib = lib

    def added(self, call: Any) -> tuple[int, int]:
        """The call's peak above what was held before it, and what it left held."""
        before = self.lib.allocations_in_use()
        self.lib.allocations_reset_peak()
        call()
        return (self.lib.allocations_peak() - before, self.lib.allocations_in_use() - before)


def child(counter_path: str, text_path: str, xml: bool) -> None:
    counter = Counter(counter_path)
    # Proof that the counter is the process's allocator: a block it must see.
    probe, _ = counter.added(lambda: bytes(MIB))
    if not MIB <= probe < 2 * MIB:
        sys.exit(f"the counting allocator is not in effect (saw {probe} bytes of a 1 MiB block)")
    import corvane

    data = Path(text_path).read_bytes()
    text = data.decode("utf-8")
    gc.disable()
    p = scanner(corvane, xml)
    p.parse("<a>b</a>")  # whatever the first call sets up once
    result = {}
    result["corvane_peak"], result["corvane_left"] = counter.added(lambda: p.parse(text))
    if xml:

        def expat() -> None:
            pyexpat.ParserCreate().Parse(data, True)

        expat()
        result["expat_peak"], _ = counter.added(expat)
    print(json.dumps(result))


def measure(counter: Path, text: str, xml: bool, folder: Path) -> dict[str, int]:
    path = folder / "text.xml"
    path.write_bytes(text.encode("utf-8"))
    env = dict(os.environ, LD_PRELOAD=str(counter), PYTHONMALLOC="malloc")
    run = subprocess.run(
        [sys.executable, __file__, "--child", str(counter), str(path), "xml" if xml else "sgml"],
        capture_output=True,
        text=True,
        env=env,
    )
    if run.returncode != 0:
        raise RuntimeError((run.stderr or run.stdout).strip().splitlines()[-1])
    return json.loads(run.stdout)


@functools.cache
def large_text(kind: str, size: int) -> str:
    # Made once for both goals: a generated text of this size takes seconds.
    return getattr(documents, kind)(size)


def mib(n: int) -> str:
    return f"{n / MIB:.2f}"


def added_memory(ctx: Context) -> Goal:
    goal = Goal(
        "3a", "Memory a whole parse(text) adds, width-1 texts: peak added / the text's own size", 0.25, False
    )
    goal.columns = [
        "document",
        "mode",
        "width",
        "own size MiB",
        "corvane peak added MiB",
        "/ own size",
        "left held MiB",
        "expat peak added MiB",
    ]
    if absent_corvane(goal, ctx.mods):
        return goal
    if os.environ.get("LD_PRELOAD"):
        goal.absent = "another preloaded library (LD_PRELOAD) already takes the allocator"
        return goal
    try:
        counter = native.build(COUNTER_SOURCE, COUNTER_NAME, python=False)
    except (OSError, RuntimeError) as e:
        goal.absent = "the allocation counter could not be built (" + str(e).splitlines()[0] + ")"
        return goal
    texts = [(d.name, d.text, xml) for d, xml in every_document(ctx.corpus)]
    texts += [(d.name, d.text, True) for d in ctx.corpus.widths.values()]
    texts.append(
        (f"markup-dense, {amount(ctx.sizes.large)} code points", large_text("markup_dense", ctx.sizes.large), True)
    )
    ratios = []
    with tempfile.TemporaryDirectory() as folder:
        for name, text, xml in texts:
            # Ending on a complete construct: nothing is left to hold at the end.
            text = text.rstrip()
            w = width(text)
            own = len(text) * w
            try:
                got = measure(counter, text, xml, Path(folder))
            except RuntimeError as e:
                goal.absent = f"the child measuring {name} failed ({e})"
                return goal
            r = got["corvane_peak"] / own
            if w == 1:
                ratios.append(r)
                goal.bars.append((name, r))
            goal.rows.append(
                [
                    name,
                    "XML" if xml else "SGML",
                    str(w),
                    mib(own),
                    mib(got["corvane_peak"]),
                    f"{r:.2f}",
                    mib(got["corvane_left"]),
                    mib(got["expat_peak"]) if "expat_peak" in got else "-",
                ]
            )
    if not ratios:
        goal.absent = "no width-1 text in this run"
        return goal
    goal.measured = max(ratios)
    goal.notes += [
        "The goal's figure is the largest ratio over the width-1 texts; the others are "
        "shown at their own width (own size = code points x width). Each text ends on a "
        "complete construct (trailing white space dropped).",
        "Measured in a child interpreter per text, with a counting layer over glibc's "
        "allocator preloaded and PYTHONMALLOC=malloc, so that one counter sees the parser's "
        "blocks and the interpreter's objects alike: the peak of the bytes held in "
        "allocated blocks during the call, less those held just before it. 'Left held' is "
        "what the call had not released when it returned. expat reads the UTF-8 bytes.",
    ]
    return goal


def large_whole(ctx: Context) -> Goal:
    size = ctx.sizes.large
    texts = [(kind.replace("_", "-"), large_text(kind, size), True) for kind in ("markup_dense", "text_heavy")]
    goal = pieces_vs_whole(
        "3b",
        f"A whole parse of {amount(size)} code points / the same fed "
        f"in {LARGE_PIECE >> 10} KiB pieces, no callbacks",
        1.1,
        texts,
        ctx,
        LARGE_PIECE,
        whole_over_pieces=True,
    )
    goal.notes.append("Generated width-1 documents.")
    return goal


@group("3", "Memory, and a whole parse at size")
def memory(ctx: Context) -> list[Goal]:
    return [added_memory(ctx), large_whole(ctx)]


if __name__ == "__main__":
    if sys.argv[1:2] != ["--child"] or len(sys.argv) != 5:
        sys.exit("usage: memory.py --child COUNTER TEXT xml|sgml")
    child(sys.argv[2], sys.argv[3], sys.argv[4] == "xml")

"""The benchmark suite keeps working: its pieces on tiny inputs, no timing checked."""

from __future__ import annotations

import ast
import importlib
import os
import pyexpat
import subprocess
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[1] / "bench"


@pytest.fixture(scope="module")
def bench():
    sys.path.insert(0, str(BENCH))
    try:
        yield {
            name: importlib.import_module(name)
            for name in (
                "baseline",
                "count",
                "documents",
                "goals",
                "harness",
                "markup",
                "memory",
                "native",
                "noop",
                "purepy",
                "registry",
                "report",
                "run",
            )
        }
    finally:
        sys.path.remove(str(BENCH))


@pytest.mark.parametrize("width, narrower, widest", [(1, 0x7F, 0xFF), (2, 0xFF, 0xFFFF), (4, 0xFFFF, 0x10FFFF)])
def test_width_documents_differ_only_in_width(bench, width, narrower, widest):
    documents = bench["documents"]
    docs = documents.corpus(4096, real=False).widths
    text = docs[width].text
    assert narrower < max(map(ord, text)) <= widest
    same = docs[1].text.replace(documents.WIDTH_MARKS[1], "?")
    assert text.replace(documents.WIDTH_MARKS[width], "?") == same


def test_generated_documents_are_well_formed(bench):
    corpus = bench["documents"].corpus(4096, real=False)
    for doc in corpus.xml + list(corpus.widths.values()):
        pyexpat.ParserCreate().Parse(doc.data, True)


SWITCHES = [
    (-1, 56),
    (5, 56),
    (56, 15),
    (56, 0),
    (0, 7),
    (120, 15),
    (56, 504),
    (-1, 511),
    (63, 248),
    (56, 568),
    (504, 120),
    (248, 120),
    (7, 7),
    (56, -1),
]


@pytest.mark.parametrize("current, wanted", SWITCHES)
def test_pure_switchcolor_follows_the_module(bench, current, wanted):
    import _lumet as lumet

    assert bench["purepy"].switchcolor(current, wanted) == lumet.switchcolor(current, wanted)


DECLARATIONS = [
    b"",
    b"\xef\xbb\xbf<a/>",
    b"\xff\xfe\x00",
    b"\xff\xfe\x00\x00",
    b"\x00<",
    b"<\x00?\x00",
    b"Lo\xa7\x94",
    b"<?xm",
    b"<?xml ",
    b"<?xml ?>",
    b"<a/>",
    b"<?xml version='1.0' encoding='latin-1'?>",
    b'<?xml\tencoding="x"',
    b"<?xml version=1.0?>",
    b"<?xml encoding=''?>",
    b"<?xml 1.0",
]


def outcome(fn, *args):
    try:
        return fn(*args)
    except ValueError as e:
        return "ValueError: " + str(e)


@pytest.mark.parametrize("data", DECLARATIONS)
def test_pure_encoding_functions_follow_the_module(bench, data):
    import _vexil as vexil

    pure = bench["purepy"]
    text = data.decode("latin-1")
    calls = [
        (name, args)
        for final in (0, 1)
        for name, args in (
            ("detectencoding", (data, final)),
            ("detectencoding", (text, final)),
            ("fixencoding", (text, "utf-16", final)),
        )
    ]
    differ = [
        (name, args)
        for name, args in calls
        if outcome(getattr(pure, name), *args) != outcome(getattr(vexil, name), *args)
    ]
    assert not differ


def test_suite_runs_on_tiny_inputs(bench, tmp_path, capsys):
    settings = bench["harness"].Settings(rounds=1, warmup=0, min_sample=0.0)
    sizes = bench["registry"].Sizes(document=4096, pathological=16384, large=65536)
    results = bench["run"].run(sizes, settings, real=False, out=tmp_path)
    keys = [goal.key for goal in results]
    assert len(set(keys)) == len(keys)
    for group in bench["registry"].GROUPS:
        assert any(key.startswith(group) for key in keys), group
    for goal in results:
        assert (goal.measured is not None and goal.measured > 0) or goal.absent, goal.key
    written = (tmp_path / "results.md").read_text(encoding="utf-8")
    printed = capsys.readouterr().out
    for goal in results:
        assert f"## Goal {goal.key}:" in written
        assert goal.verdict in printed
    assert str(Path.home()) not in written and str(BENCH) not in written


def test_the_layers_peers_build_the_same_events(bench):
    import corvane_markup as cm

    documents, markup = bench["documents"], bench["markup"]

    def elements(events):
        return [(kind, name, value) for kind, name, value in events if kind in ("start", "end")]

    xml = documents.mime_like(8192).encode()
    assert elements(markup.expat_events(xml)) == elements(cm.events(xml))
    page = documents.html_like(8192).encode()
    ours = [
        (k, n, [(a, v) for a, v in value] if k == "start" else value)
        for k, n, value in cm.events(page, mode="sgml")
    ]
    assert elements(markup.html_events(page)) == elements(ours)


def test_the_memory_run(bench, capsys):
    bench["markup"].memory(200_000)
    out = capsys.readouterr().out
    assert "peak RSS" in out and "records" in out


def test_only_runs_the_goals_named(bench, capsys):
    run = bench["run"]
    settings = bench["harness"].Settings(rounds=1, warmup=0, min_sample=0.0)
    sizes = bench["registry"].Sizes(document=2048, pathological=4096, large=8192)
    assert {g.key for g in run.run(sizes, settings, False, None, only="26")} == {"2", "6a", "6b", "6c"}
    with pytest.raises(SystemExit, match="unknown goal 9"):
        run.selected("19")


COUNTED = """
import ctypes
import sys
sys.path.insert(0, {bench!r})
import memory
counter = memory.Counter({library!r})
MiB = 1 << 20
kept = []
figures = [
    counter.added(lambda: kept.append(bytearray(4 * MiB))),
    counter.added(lambda: bytearray(4 * MiB)),
    counter.added(kept.clear),
]
libc = ctypes.CDLL(None)
libc.malloc.restype = libc.realloc.restype = ctypes.c_void_p
libc.realloc.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
libc.free.argtypes = [ctypes.c_void_p]
block = []
figures.append(counter.added(lambda: block.append(libc.malloc(MiB))))
figures.append(counter.added(lambda: block.append(libc.realloc(block.pop(), 4 * MiB))))
figures.append(counter.added(lambda: libc.free(block.pop())))
print(figures)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="preloads a library with LD_PRELOAD")
@pytest.mark.skipif(
    bool(os.environ.get("LD_PRELOAD")), reason="another preloaded library already takes the allocator"
)
def test_allocation_counter_sees_every_block(bench):
    """The memory goal's counter: a block kept, a block released within the
    call, a release, and a growth by realloc."""
    memory, native = bench["memory"], bench["native"]
    try:
        library = native.build(memory.COUNTER_SOURCE, memory.COUNTER_NAME, python=False)
    except RuntimeError as e:
        pytest.skip(str(e).splitlines()[0])
    env = dict(os.environ, LD_PRELOAD=str(library), PYTHONMALLOC="malloc")
    run = subprocess.run(
        [sys.executable, "-c", COUNTED.format(bench=str(BENCH), library=str(library))],
        capture_output=True,
        text=True,
        env=env,
        timeout=60,
    )
    assert run.returncode == 0, run.stderr
    kept, temporary, released, allocated, grown, freed = ast.literal_eval(run.stdout)
    mib = 1 << 20
    # The interpreter's own small blocks come and go along the way, so a
    # figure may land a little either side of the block measured.
    slack = 64 << 10

    def near(figure, size):
        return abs(figure - size) < slack

    assert near(kept[0], 4 * mib) and near(kept[1], 4 * mib)
    assert near(temporary[0], 4 * mib) and abs(temporary[1]) < slack
    assert near(-released[1], 4 * mib)
    assert near(allocated[1], mib)
    # A block that grows counts at its new size, both sizes while it moves.
    assert near(grown[1], 3 * mib) and 3 * mib - slack <= grown[0] < 4 * mib + slack
    assert near(-freed[1], 4 * mib)

"""The goals of the command-line tool: `corvane stats` and `corvane events
--json` against scripts that do the same with the standard library's parsers
(peer_pyexpat.py and peer_htmlparser.py, here beside this file), and the
scaling of `--jobs` over many small files. Every case is a whole process,
start-up included, as a user meets it."""

from __future__ import annotations

import subprocess
import sys
import tempfile
from pathlib import Path

import documents
import markup
import registry
from harness import Case, Settings, compare, ratio
from registry import Context, Goal

HERE = Path(__file__).resolve().parent
CORVANE = Path(sys.executable).parent / "corvane"
PEERS = {"xml": ("pyexpat", HERE / "peer_pyexpat.py"), "sgml": ("html.parser", HERE / "peer_htmlparser.py")}
SMALL_FILE = 16 * 1024


def _run(command: list[str]) -> None:
    subprocess.run(command, stdout=subprocess.DEVNULL, check=True)


def _case(label: str, command: list[str]) -> Case:
    return Case(label, "run(command)", {"run": _run, "command": command})


def _document_goals(
    doc: markup.Input, mode: str, keys: tuple[str, str], targets: tuple[float, float], settings: Settings
) -> list[Goal]:
    peer, script = PEERS[mode]
    path = str(doc.path)
    # Two comparisons, so that the slow peer of one does not cut the rounds
    # of the other.
    got = compare(
        [
            _case("stats", [str(CORVANE), "stats", f"--{mode}", path]),
            _case("peer stats", [sys.executable, str(script), path]),
        ],
        settings,
    )
    got.update(
        compare(
            [
                _case("events", [str(CORVANE), "events", "--json", f"--{mode}", path]),
                _case("peer events", [sys.executable, str(script), "--json", path]),
            ],
            settings,
        )
    )
    goals = []
    for key, target, ours, theirs, what in (
        (keys[0], targets[0], "stats", "peer stats", "corvane stats"),
        (keys[1], targets[1], "events", "peer events", "corvane events --json"),
    ):
        goal = Goal(
            key, f"{what} on {doc.name}: the {peer} script's time / corvane's (whole processes)", target, True
        )
        goal.columns = ["document", "corvane s", f"{peer} script s", "ratio"]
        r = ratio(got[theirs], got[ours])
        goal.measured = r
        goal.bars.append((f"{key} {doc.name}", r))
        goal.rows.append([doc.name, f"{got[ours].seconds:.3f}", f"{got[theirs].seconds:.3f}", f"{r:.2f}"])
        goal.notes.append(
            f"{doc.name}: {doc.origin}. The script is bench/{script.name}, "
            "run with the same interpreter; both write to /dev/null."
        )
        goals.append(goal)
    return goals


def _small_files(folder: Path, count: int, size: int) -> None:
    for i in range(count):
        make = documents.mime_like if i % 2 else documents.html_like
        suffix = ".xml" if i % 2 else ".html"
        (folder / f"doc{i:04d}{suffix}").write_text(make(size), encoding="utf-8")


# The same arithmetic done by one process or shared by two forked ones: how
# far two cores of this machine scale at best, beside the tool's figures.
CEILING = """
import os, sys
n = int(sys.argv[1])
pids = []
for _ in range(n - 1):
    pid = os.fork()
    if pid == 0:
        break
    pids.append(pid)
s = 0
for i in range(6_000_000 // n):
    s += i * i
if n > 1 and len(pids) < n - 1:
    os._exit(0)
for pid in pids:
    os.waitpid(pid, 0)
"""


def _jobs_goal(count: int, settings: Settings) -> Goal:
    goal = Goal(
        "8e",
        f"--jobs 2 over {count} small files: the time with --jobs 1 / with "
        "--jobs 2, for stats and for events --json (the worse)",
        1.7,
        True,
    )
    goal.columns = ["command", "--jobs 1 s", "--jobs 2 s", "scaling"]
    worst = None
    with tempfile.TemporaryDirectory() as name:
        folder = Path(name)
        _small_files(folder, count, SMALL_FILE)
        for command in ("stats --json", "events --json"):
            # Apart, so that the quicker command keeps its full rounds.
            cases = [
                _case(f"{command} {jobs}", [str(CORVANE), *command.split(), "--jobs", str(jobs), str(folder)])
                for jobs in (1, 2)
            ]
            cases += [_case(f"ceiling {jobs}", [sys.executable, "-c", CEILING, str(jobs)]) for jobs in (1, 2)]
            got = compare(cases, settings)
            one, two = got[f"{command} 1"], got[f"{command} 2"]
            r = ratio(one, two)
            worst = r if worst is None else min(worst, r)
            goal.rows.append([command, f"{one.seconds:.3f}", f"{two.seconds:.3f}", f"{r:.2f}"])
            goal.bars.append((f"8e {command}", r))
            one, two = got["ceiling 1"], got["ceiling 2"]
            goal.rows.append(
                [
                    f"(arithmetic, beside {command.split()[0]})",
                    f"{one.seconds:.3f}",
                    f"{two.seconds:.3f}",
                    f"{ratio(one, two):.2f}",
                ]
            )
    goal.measured = worst
    goal.notes.append(
        f"{count} generated documents of {SMALL_FILE // 1024} KiB, half XML and "
        "half HTML, in one directory; the machine has two cores. The arithmetic "
        "rows, timed in the same rounds, show how far two processes of plain "
        "computation scale here: the tool's scaling cannot pass theirs."
    )
    return goal


def goals(settings: Settings, real: bool, size: int, count: int) -> list[Goal]:
    if not CORVANE.exists():
        return [
            Goal(
                k,
                "The command-line tool",
                t,
                True,
                absent="the corvane command is not installed beside this interpreter",
            )
            for k, t in (("8a", 2.0), ("8b", 1.5), ("8c", 5.0), ("8d", 1.5), ("8e", 1.7))
        ]
    with tempfile.TemporaryDirectory() as folder:
        xml, page = markup.inputs(real, size, Path(folder))
        found = _document_goals(xml, "xml", ("8a", "8b"), (2.0, 1.5), settings)
        found += _document_goals(page, "sgml", ("8c", "8d"), (5.0, 1.5), settings)
    found.append(_jobs_goal(count, settings))
    return found


@registry.group("8", "The command-line tool against scripts on the standard library")
def tool_goals(ctx: Context) -> list[Goal]:
    real = any(doc.real for doc in ctx.corpus.xml)
    count = max(4, min(2000, ctx.sizes.document // 512))
    return goals(ctx.settings, real, ctx.sizes.document, count)


def main(argv: list[str]) -> int:
    """`python bench/tool.py`: the tool's goals alone, on the installed documents."""
    from report import console

    settings = Settings(rounds=int(argv[0]) if argv else 7)
    print(console(goals(settings, True, 1 << 20, 2000)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

"""Runs the benchmark suite: `python bench/run.py` (see `make bench`).

Prints the table of goals and writes bench/results.md and bench/ratios.png.
"""

from __future__ import annotations

import argparse
import dataclasses
import importlib
import json
import subprocess
import sys
import tempfile
from importlib import metadata
from pathlib import Path

import documents
import noop
import registry
import report
from harness import Settings
from registry import Context, Goal, Sizes

HERE = Path(__file__).resolve().parent

# The modules whose goal groups make up the suite; each registers its groups
# with registry.group when imported.
GOAL_MODULES = ("goals", "memory", "markup", "tool")

PEERS = ("corvane", "lxml", "pugixml", "RapidXml", "matplotlib")


def groups() -> list[registry.Group]:
    for name in GOAL_MODULES:
        importlib.import_module(name)
    return sorted(registry.GROUPS.values(), key=lambda g: (len(g.key), g.key))


def selected(only: str | None) -> list[registry.Group]:
    """The groups named by --only: digits run together ("13") or, for keys of
    more than one character, separated by commas."""
    every = groups()
    if only is None:
        return every
    keys = set(only.split(",")) if "," in only else set(only)
    unknown = keys - {g.key for g in every}
    if unknown:
        raise SystemExit(
            "unknown goal " + ", ".join(sorted(unknown)) + "; the goals are " + " ".join(g.key for g in every)
        )
    return [g for g in every if g.key in keys]


def versions() -> dict[str, str]:
    found = {}
    for name in PEERS:
        try:
            found[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            found[name] = "not installed"
    return found


def measure_group(key: str, sizes: Sizes, settings: Settings, real: bool) -> list[Goal]:
    """One group's goals, measured in a child interpreter of its own.

    What a whole parse of a large text costs depends on whether the allocator
    hands it memory that is already mapped, which depends on what the process
    allocated and released before: in one process, the groups that ran
    earlier would move the figures of the later ones.
    """
    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder) / "goals.json"
        request = {
            "key": key,
            "sizes": dataclasses.asdict(sizes),
            "settings": dataclasses.asdict(settings),
            "real": real,
            "out": str(out),
        }
        run = subprocess.run(
            [sys.executable, __file__, "--group", json.dumps(request)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        if run.returncode != 0:
            raise RuntimeError(f"goal {key} failed:\n" + (run.stderr or run.stdout)[-4000:])
        return [Goal(**goal) for goal in json.loads(out.read_text(encoding="utf-8"))]


def group_child(request: dict) -> None:
    sizes, settings = Sizes(**request["sizes"]), Settings(**request["settings"])
    ctx = Context(
        documents.corpus(sizes.document, request["real"]), registry.Modules.load(noop.load), settings, sizes
    )
    group = next(g for g in groups() if g.key == request["key"])
    Path(request["out"]).write_text(
        json.dumps([dataclasses.asdict(goal) for goal in group.measure(ctx)]), encoding="utf-8"
    )


def run(sizes: Sizes, settings: Settings, real: bool, out: Path | None, only: str | None = None) -> list[Goal]:
    chosen = selected(only)
    results = [goal for g in chosen for goal in measure_group(g.key, sizes, settings, real)]
    print(report.console(results))
    if out is not None:
        out.mkdir(parents=True, exist_ok=True)
        png = out / "ratios.png"
        drawn = report.chart(results, png)
        corpus = documents.corpus(sizes.document, real)
        docs = [
            f"{d.name}: {d.origin}, {len(d.text):,} code points"
            for d in corpus.xml + corpus.sgml + list(corpus.widths.values())
        ]
        method = (
            f"Each case is timed with timeit in {settings.rounds} rounds after "
            f"{settings.warmup} warm-up rounds, each sample lasting at least "
            f"{settings.min_sample * 1e3:.0f} ms, the cases of one comparison "
            "interleaved in a rotating order with the garbage collector off; the "
            "figure per case is the median, and a ratio is the median of the ratios "
            "of the same rounds. A case whose single run takes over "
            f"{settings.slow_run:g} s gets {settings.slow_rounds} rounds (one if it "
            f"takes over {5 * settings.slow_run:g} s). Generated documents are "
            f"{sizes.document / (1 << 20):g} Mi code points, the long constructs "
            f"{sizes.pathological / (1 << 20):g} Mi, the large whole parses "
            f"{sizes.large / (1 << 20):g} Mi."
        )
        # Written by hand and by `--instructions`, from the same build.
        see_also = [
            f"[{title}]({name})"
            for name, title in (
                ("missed.md", "what bounds the goals that are missed"),
                ("instructions.md", "instructions per code point and per call (goal 2)"),
            )
            if (HERE / name).exists()
        ]
        (out / "results.md").write_text(
            report.markdown(
                results, report.machine(versions()), docs, method, png.name if drawn else None, see_also
            ),
            encoding="utf-8",
        )
        print(f"\nwrote {out.name}/results.md" + (f" and {out.name}/{png.name}" if drawn else ""))
    return results


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument(
        "--quick",
        action="store_true",
        help="small generated documents and few rounds: checks that the suite runs; implies --no-write",
    )
    ap.add_argument("--no-write", action="store_true", help="print only")
    ap.add_argument(
        "--only", metavar="GOALS", help="the goals to run, as their numbers (for example 13); implies --no-write"
    )
    ap.add_argument(
        "--instructions",
        action="store_true",
        help="count instructions per code point and per call with valgrind instead (writes bench/instructions.md)",
    )
    args = ap.parse_args(argv)
    if args.instructions:
        import count

        return count.main()
    if args.quick:
        settings, sizes = Settings(rounds=2, warmup=0, min_sample=0.001), registry.QUICK
    else:
        settings, sizes = Settings(), registry.FULL
    # Only a full run of every goal replaces the committed figures.
    write = not (args.no_write or args.quick or args.only)
    run(sizes, settings, real=not args.quick, out=HERE if write else None, only=args.only)
    return 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["--group"]:
        group_child(json.loads(sys.argv[2]))
    else:
        sys.exit(main())

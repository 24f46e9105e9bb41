"""Runs the benchmark suite: `python bench/run.py` (see `make bench`).

Prints the table of goals and writes bench/results.md and bench/ratios.png.
"""

from __future__ import annotations

import argparse
import sys
from importlib import metadata
from pathlib import Path

import documents
import goals
import markup
import noop
import report
from harness import Settings

HERE = Path(__file__).resolve().parent


def versions() -> dict[str, str]:
    found = {}
    for name in ("corvane", "lxml", "matplotlib"):
        try:
            found[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            found[name] = "not installed"
    return found


def run(size: int, pathological_size: int, settings: Settings, real: bool,
        out: Path | None, only: str = "123456") -> list[goals.Goal]:
    corpus = documents.corpus(size, real)
    mods = goals.Modules.load(noop.load)
    steps = {
        "1": lambda: [goals.scan_throughput(corpus, mods, settings)],
        "2": lambda: [goals.callback_cost(corpus, mods, settings)],
        "3": lambda: list(goals.piecewise(corpus, mods, settings, pathological_size)),
        "4": lambda: [goals.width_independence(corpus, mods, settings)],
        "5": lambda: list(goals.small_functions(mods, settings, size)),
        "6": lambda: markup.goals(settings, real, size),
    }
    results = [goal for key, step in steps.items() if key in only for goal in step()]
    print(report.console(results))
    if out is not None:
        out.mkdir(parents=True, exist_ok=True)
        png = out / "ratios.png"
        drawn = report.chart(results, png)
        docs = [f"{d.name}: {d.origin}, {len(d.text):,} code points"
                for d in corpus.xml + corpus.sgml + list(corpus.widths.values())]
        method = (f"Each case is timed with timeit in {settings.rounds} rounds after "
                  f"{settings.warmup} warm-up rounds, each sample lasting at least "
                  f"{settings.min_sample * 1e3:.0f} ms, the cases of one comparison "
                  "interleaved in a rotating order with the garbage collector off; the "
                  "figure per case is the median. A case whose single run takes over "
                  f"{settings.slow_run:g} s gets {settings.slow_rounds} rounds (one if it "
                  f"takes over {5 * settings.slow_run:g} s). Generated documents are "
                  f"{size / (1 << 20):g} Mi code points; the pathological ones "
                  f"{pathological_size / (1 << 20):g} Mi.")
        # Written by hand and by `--instructions`, from the same build.
        see_also = [f"[{title}]({name})" for name, title in (
            ("missed.md", "what bounds the goals that are missed"),
            ("instructions.md", "instructions per code point and per call"))
            if (HERE / name).exists()]
        (out / "results.md").write_text(report.markdown(
            results, report.machine(versions()), docs, method,
            png.name if drawn else None, see_also), encoding="utf-8")
        print(f"\nwrote {out.name}/results.md" + (f" and {out.name}/{png.name}" if drawn else ""))
    return results


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--quick", action="store_true",
                    help="small documents and few rounds: checks that the suite runs")
    ap.add_argument("--no-write", action="store_true", help="print only")
    ap.add_argument("--only", default="123456", metavar="GOALS",
                    help="the goals to run, as their numbers (for example 13); implies "
                    "--no-write")
    ap.add_argument("--instructions", action="store_true",
                    help="count instructions per code point and per call with valgrind "
                    "instead (writes bench/instructions.md)")
    args = ap.parse_args(argv)
    if args.instructions:
        import count
        return count.main()
    if args.quick:
        settings = Settings(rounds=2, warmup=0, min_sample=0.001)
        size, pathological = 1 << 14, 1 << 16
    else:
        settings = Settings()
        size, pathological = 1 << 20, 8 << 20
    write = not args.no_write and args.only == "123456"
    run(size, pathological, settings, real=not args.quick, out=HERE if write else None,
        only=args.only)
    return 0


if __name__ == "__main__":
    sys.exit(main())

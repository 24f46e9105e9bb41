"""The suite's output: the console table, results.md and the ratio chart."""

from __future__ import annotations

import datetime
import os
import platform
import pyexpat
from pathlib import Path

from registry import Goal


def _first(path: str, key: str) -> str:
    try:
        with open(path, encoding="utf-8") as f:
            for line in f:
                if line.startswith(key):
                    return (
                        line.split(":", 1)[1].strip() if ":" in line else line.split("=", 1)[1].strip().strip('"')
                    )
    except OSError:
        pass
    return ""


def machine(versions: dict[str, str]) -> list[str]:
    """The machine in words: no paths, no host names."""
    cpu = _first("/proc/cpuinfo", "model name") or platform.processor() or "unknown"
    mem = _first("/proc/meminfo", "MemTotal")
    mem_text = f"{int(mem.split()[0]) / 1024 / 1024:.0f} GiB memory" if mem else "memory unknown"
    try:
        usable = len(os.sched_getaffinity(0))
    except AttributeError:
        usable = os.cpu_count() or 0
    system = _first("/etc/os-release", "PRETTY_NAME=") or platform.system()
    lines = [
        f"CPU: {cpu}, {os.cpu_count()} logical cores ({usable} usable by this run), {mem_text}",
        f"System: {system}, kernel {platform.release()}, {platform.machine()}",
        f"Python: CPython {platform.python_version()} ({platform.python_compiler()})",
        f"Peers: {pyexpat.EXPAT_VERSION}; html.parser of the same Python",
    ]
    lines += [f"{name}: {version}" for name, version in versions.items()]
    lines.append("The machine is shared with other work; every goal compares cases timed in the same rounds.")
    return lines


def _table(columns: list[str], rows: list[list[str]]) -> list[str]:
    widths = [max(len(str(x)) for x in col) for col in zip(columns, *rows)]
    fmt = "  ".join("{:<%d}" % w for w in widths)
    out = [fmt.format(*columns), "  ".join("-" * w for w in widths)]
    return out + [fmt.format(*row) for row in rows]


def console(goals: list[Goal]) -> str:
    lines = ["Goals"]
    lines += _table(["goal", "what", "result"], [[g.key, g.title, g.verdict] for g in goals])
    for g in goals:
        if g.rows:
            lines += ["", f"Goal {g.key}: {g.title}"] + _table(g.columns, g.rows)
        lines += ["  " + note for note in g.notes]
    return "\n".join(lines)


def _md_table(columns: list[str], rows: list[list[str]]) -> list[str]:
    def line(cells: list[str]) -> str:
        return "| " + " | ".join(str(c).replace("|", "\\|") for c in cells) + " |"

    return [line(columns), line(["---"] * len(columns))] + [line(r) for r in rows]


def markdown(
    goals: list[Goal],
    machine_lines: list[str],
    documents: list[str],
    settings_text: str,
    chart: str | None,
    see_also: list[str] = (),
) -> str:
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    out = [
        "# Benchmark results",
        "",
        f"Written by `make bench` on {now}. Every figure is a ratio of cases timed "
        "side by side in the same run; absolute times are for orientation only.",
        "",
        "## Goals",
        "",
    ]
    out += _md_table(
        ["goal", "what is compared", "measured", "target", "verdict"],
        [
            [
                g.key,
                g.title,
                f"{g.measured:.2f}x" if g.measured is not None else "-",
                g.target_text,
                ("met" if g.met else "missed") if g.met is not None else "not measured: " + g.absent,
            ]
            for g in goals
        ],
    )
    if chart:
        out += ["", f"![ratios per goal]({chart})"]
    if see_also:
        out += [""] + [f"See also {link}." for link in see_also]
    out += ["", "## Machine", ""] + [f"- {line}" for line in machine_lines]
    out += ["", "## Documents", ""] + [f"- {line}" for line in documents]
    out += ["", "## Method", "", settings_text]
    for g in goals:
        out += ["", f"## Goal {g.key}: {g.title}", ""]
        if g.rows:
            out += _md_table(g.columns, g.rows) + [""]
        out += [note for note in g.notes]
        if g.measured is None:
            out.append("Not measured: " + g.absent + ".")
    return "\n".join(out).rstrip() + "\n"


def chart(goals: list[Goal], path: Path) -> bool:
    """A bar chart per goal with its target line; False when matplotlib is missing."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    shown = [g for g in goals if g.bars]
    if not shown:
        return False
    cols = 2
    nrows = (len(shown) + cols - 1) // cols
    fig, axes = plt.subplots(nrows, cols, figsize=(12, 2.4 * nrows + 0.6), squeeze=False)
    for ax, g in zip(axes.flat, shown):
        labels = [label for label, _ in g.bars]
        values = [value for _, value in g.bars]
        ok = [(v >= g.target) if g.at_least else (v <= g.target) for v in values]
        ax.barh(labels, values, color=["#3a7d44" if k else "#b23a48" for k in ok])
        ax.axvline(g.target, color="black", linestyle="--", linewidth=1)
        ax.invert_yaxis()
        if max(values + [g.target]) / max(min(values + [g.target]), 1e-9) > 30:
            ax.set_xscale("log")
        ax.set_title(f"{g.key}: {g.title}\ntarget {g.target_text} (dashed)", fontsize=8)
        ax.tick_params(labelsize=7)
    for ax in list(axes.flat)[len(shown) :]:
        ax.set_visible(False)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return True

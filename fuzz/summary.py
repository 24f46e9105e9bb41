"""Prints one line of figures from a libFuzzer log: executions, time, edges
covered out of the edges instrumented, features, corpus size, crashes."""

import re
import sys

target, path = sys.argv[1], sys.argv[2]
log = open(path, encoding="utf-8", errors="replace").read()

counters = sum(int(n) for n in re.findall(r"\((\d+) inline 8-bit counters\)", log))
runs = re.findall(r"stat::number_of_executed_units: (\d+)", log)
seconds = re.findall(r"Done \d+ runs in (\d+) second", log)
status = re.findall(r"#\d+\s+\w+\s+cov: (\d+) ft: (\d+) corp: (\d+)/", log)
crashes = len(re.findall(r"^==\d+== ?ERROR|^SUMMARY: |Uncaught Python exception", log, re.M))

cov, ft, corpus = status[-1] if status else ("?", "?", "?")
share = f" ({100 * int(cov) / counters:.0f}%)" if counters and cov != "?" else ""
print(
    f"    {target}: {runs[-1] if runs else '?'} runs in {seconds[-1] if seconds else '?'} s, "
    f"{cov} of {counters} edges{share}, {ft} features, corpus {corpus}, crashes {crashes}"
)

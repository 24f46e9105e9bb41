"""Reads a memcheck log: prints its summary, every invalid access, and every
definitely lost block allocated from one of the package's modules. Exits
non-zero if there is any of the last two."""

import re
import sys

MODULES = ("_lumet.", "_vexil.", "corvane.")

log = open(sys.argv[1], encoding="utf-8", errors="replace").read()
# Records are separated by the "==pid== " lines that are blank after it.
records = re.split(r"^==\d+==\s*\n", log, flags=re.M)


def lines(rec):
    return [re.sub(r"^==\d+== ?", "", line) for line in rec.splitlines()]


errors = [
    r
    for r in records
    if re.search(
        r"^==\d+== (Invalid|Conditional jump|Use of uninitialised|Syscall param|Mismatched free|Source and destination overlap)",
        r,
        re.M,
    )
]
lost = [r for r in records if "definitely lost" in r and " are definitely lost in loss record" in r]
ours = [r for r in lost if any(m in r for m in MODULES)]

summary = re.findall(
    r"^==\d+== (?:ERROR SUMMARY|   definitely lost|   indirectly lost|     possibly lost).*$", log, re.M
)
print("\n".join(s.split("== ", 1)[1] for s in summary))
print(f"invalid accesses and uses of uninitialised values: {len(errors)}")
print(f"definitely lost records: {len(lost)}, of them allocated from the modules: {len(ours)}")
for rec in errors + ours:
    print("\n".join(lines(rec)))
sys.exit(1 if errors or ours else 0)

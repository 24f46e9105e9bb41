"""Each shared library exports its entry point and the named symbols only."""

import importlib
import shutil
import subprocess

import pytest

EXPORTS = {
    "_lumet": {"PyInit__lumet"},
    "_vexil": {
        "PyInit__vexil",
        "fixencoding",
        "parsedeclaration_ucs1",
        "parsedeclaration_ucs2",
        "parsedeclaration_ucs4",
    },
    "corvane": {"PyInit_corvane", "FastParser_Type"},
}


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
@pytest.mark.parametrize("name", sorted(EXPORTS))
def test_dynamic_symbols(name):
    module = pytest.importorskip(name)
    out = subprocess.run(
        ["nm", "-D", "--defined-only", module.__file__],
        capture_output=True, text=True, check=True,
    ).stdout
    symbols = {line.split()[-1] for line in out.splitlines() if line.strip()}
    # Linker bookkeeping symbols are not ours.
    symbols -= {"_init", "_fini", "_edata", "_end", "__bss_start"}
    assert symbols == EXPORTS[name]

"""Each shared library exports its entry point and the named symbols only."""

import shutil
import sys

import pytest
from libraries import listing

# The dynamic symbol table and its relocations read here are ELF's.
pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads ELF symbol tables")

SANITIZER_PREFIXES = ("__odr_asan", "__asan", "__ubsan", "__sancov")

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
    "_sheaf": {"PyInit__sheaf"},
}


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
@pytest.mark.parametrize("name", sorted(EXPORTS))
def test_dynamic_symbols(name):
    kinds = {f[-1]: f[-2] for f in listing(name, "nm", "-D", "--defined-only")}
    # Linker bookkeeping and a sanitizer build's runtime hooks are not ours.
    symbols = {
        s
        for s in kinds
        if s not in {"_init", "_fini", "_edata", "_end", "__bss_start"} and not s.startswith(SANITIZER_PREFIXES)
    }
    assert symbols == EXPORTS[name]
    # Functions are code and the type object is data.
    for symbol in symbols:
        assert kinds[symbol] in ("DB" if symbol.endswith("_Type") else "T"), symbol


@pytest.mark.skipif(shutil.which("readelf") is None, reason="needs readelf")
@pytest.mark.parametrize("name", sorted(EXPORTS))
def test_own_exports_bind_inside_the_library(name):
    """A library loaded earlier that defines one of these names (or an
    LD_PRELOAD one) must not take over the module's calls to its own code,
    so no dynamic relocation may name them."""
    named = {
        f[4].split("@")[0]
        for f in listing(name, "readelf", "--relocs", "--wide")
        if len(f) >= 5 and f[0][:1].isdigit() and "R_" in f[2]
    }
    assert not named & EXPORTS[name]

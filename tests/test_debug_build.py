"""Under a debug interpreter the modules are built with its debug checks.

A debug build's reference counting keeps a running total and traps
negative counts through functions that only such a build exports; a module
compiled against the release configuration calls none of them, and then
the interpreter's own checks and sys.gettotalrefcount() miss what it does.
"""

import shutil
import sys

import pytest
from libraries import listing

pytestmark = [
    pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="a release interpreter"),
    pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm"),
]

DEBUG_ONLY = {"_Py_INCREF_IncRefTotal", "_Py_NegativeRefcount"}


# _lumet is left out: it makes one string and counts no reference, so its
# code is the same for either configuration.
@pytest.mark.parametrize("name", ["_vexil", "corvane", "_sheaf"])
def test_module_calls_the_debug_reference_counting(name):
    undefined = {f[-1] for f in listing(name, "nm", "-D", "--undefined-only")}
    assert DEBUG_ONLY & undefined

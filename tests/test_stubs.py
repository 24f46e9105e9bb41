"""The installed type stubs agree with the installed modules."""

import subprocess
import sys

import pytest

MODULES = ["_lumet", "_vexil", "corvane", "_sheaf"]


@pytest.mark.parametrize("name", MODULES)
def test_stub_matches_module(name):
    pytest.importorskip(name)
    run = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--ignore-missing-stub", name],
        capture_output=True,
        text=True,
    )
    assert run.returncode == 0, run.stdout + run.stderr

"""The installed type stubs agree with the installed modules, and type checkers
find them."""

import subprocess
import sys
from pathlib import Path

import pytest

MODULES = ["_lumet", "_vexil", "corvane", "_sheaf"]


@pytest.mark.parametrize("name", MODULES)
def test_stub_matches_module(name):
    run = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--ignore-missing-stub", name],
        capture_output=True,
        text=True,
    )
    assert run.returncode == 0, run.stdout + run.stderr


USAGE = Path(__file__).with_name("typed_usage.py")


def test_the_modules_and_the_layer_are_typed(tmp_path):
    """mypy finds the stubs of the modules and the layer's own annotations
    where they are installed, with nothing of the source tree in its path."""
    script = tmp_path / USAGE.name
    script.write_text(USAGE.read_text())
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(script)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    assert run.returncode == 0, run.stdout + run.stderr


def test_the_layer_and_the_tool_check_strictly():
    """Their annotations agree with each other and with the modules' stubs:
    a wrong one hides a fault from every user's type checker."""
    repo = Path(__file__).parent.parent
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "layer/corvane_markup", "tool/corvane_cli"],
        capture_output=True,
        text=True,
        cwd=repo,
    )
    assert run.returncode == 0, run.stdout + run.stderr

"""The installed type stubs agree with the installed modules."""

import subprocess
import sys

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


USAGE = """
import xml.etree.ElementTree as ET
import corvane_markup as cm

def kinds(data: bytes) -> list[str]:
    return [event.kind + event.name for event in cm.events(data, mode="xml")]

root: ET.Element = cm.fromstring("<a/>")
tree: ET.ElementTree = cm.parse(b"<a/>", namespaces=True)
pairs: list[tuple[str, ET.Element]] = list(cm.iterparse(b"<a/>", ("start", "end")))
doc: cm.Document = cm.open_document(b"<a/>")
total: object = cm.merge(1, 2)
"""


def test_the_layer_is_typed(tmp_path):
    script = tmp_path / "use.py"
    script.write_text(USAGE)
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                          str(script)], capture_output=True, text=True, cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr

"""What the binutils say about the shared library of an installed module."""

import importlib
import subprocess


def listing(name: str, *command: str) -> list[list[str]]:
    """The output of `command` run on module `name`'s shared library, each
    line split into its fields, blank lines left out."""
    path = importlib.import_module(name).__file__
    assert path is not None
    out = subprocess.run([*command, path], capture_output=True, text=True, check=True).stdout
    return [fields for fields in map(str.split, out.splitlines()) if fields]

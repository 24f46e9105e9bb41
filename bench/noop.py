"""Builds and loads the benchmark-only no-op extension (noop.cpp).

It is compiled straight against the running interpreter's headers into the
repository's build/ folder, so it never reaches an installed package.
"""

from __future__ import annotations

import importlib.util
import os
import shlex
import subprocess
import sysconfig
from pathlib import Path
from types import ModuleType

HERE = Path(__file__).resolve().parent
SOURCE = HERE / "noop.cpp"
NAME = "_benchnoop"


def build_dir() -> Path:
    tag = sysconfig.get_config_var("SOABI") or "unknown"
    return HERE.parent / "build" / "bench-noop" / tag


def compiler() -> list[str]:
    # The interpreter's own C++ compiler setting, unless the caller names one.
    configured = os.environ.get("CXX") or sysconfig.get_config_var("CXX") or "c++"
    return shlex.split(configured)


def build() -> Path:
    """Compiles the module unless an up-to-date build exists; returns its path."""
    out = build_dir() / (NAME + sysconfig.get_config_var("EXT_SUFFIX"))
    if out.exists() and out.stat().st_mtime >= SOURCE.stat().st_mtime:
        return out
    out.parent.mkdir(parents=True, exist_ok=True)
    command = compiler() + [
        "-std=c++20", "-O2", "-fPIC", "-shared", "-Wall", "-Wextra", "-Werror",
        "-I", sysconfig.get_paths()["include"],
        str(SOURCE), "-o", str(out),
    ]
    run = subprocess.run(command, capture_output=True, text=True)
    if run.returncode != 0:
        raise RuntimeError("building the no-op extension failed:\n" + run.stderr)
    return out


def load() -> ModuleType:
    path = build()
    found = importlib.util.spec_from_file_location(NAME, path)
    assert found is not None and found.loader is not None
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module

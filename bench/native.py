"""Compiles the suite's own small native helpers into the repository's build/.

They are built straight against the running interpreter (its C++ compiler
setting and headers), never installed, and rebuilt when their source is newer
than the build.
"""

from __future__ import annotations

import os
import shlex
import subprocess
import sysconfig
from pathlib import Path

HERE = Path(__file__).resolve().parent


def build_dir() -> Path:
    tag = sysconfig.get_config_var("SOABI") or "unknown"
    return HERE.parent / "build" / "bench-native" / tag


def compiler() -> list[str]:
    # The interpreter's own C++ compiler setting, unless the caller names one.
    configured = os.environ.get("CXX") or sysconfig.get_config_var("CXX") or "c++"
    return shlex.split(configured)


def build(source: Path, filename: str, python: bool) -> Path:
    """Compiles `source` into a shared object named `filename`, with the
    interpreter's headers when `python` is true; returns its path. Raises
    RuntimeError with the compiler's messages when the build fails."""
    out = build_dir() / filename
    if out.exists() and out.stat().st_mtime >= source.stat().st_mtime:
        return out
    out.parent.mkdir(parents=True, exist_ok=True)
    command = compiler() + ["-std=c++20", "-O2", "-fPIC", "-shared", "-Wall", "-Wextra", "-Werror"]
    if python:
        command += ["-I", sysconfig.get_paths()["include"]]
    # Built under a temporary name and renamed: a build that fails halfway
    # never leaves a newer, broken file behind.
    partial = out.with_name(out.name + ".partial")
    run = subprocess.run(command + [str(source), "-o", str(partial)], capture_output=True, text=True)
    if run.returncode != 0:
        partial.unlink(missing_ok=True)
        raise RuntimeError(f"building {source.name} failed:\n" + run.stderr)
    partial.replace(out)
    return out

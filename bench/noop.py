"""Builds and loads the benchmark-only no-op extension (noop.cpp)."""

from __future__ import annotations

import importlib.util
import sysconfig
from types import ModuleType

import native

SOURCE = native.HERE / "noop.cpp"
NAME = "_benchnoop"


def load() -> ModuleType:
    path = native.build(SOURCE, NAME + sysconfig.get_config_var("EXT_SUFFIX"), python=True)
    found = importlib.util.spec_from_file_location(NAME, path)
    assert found is not None and found.loader is not None
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module

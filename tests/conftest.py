import importlib.util

import pytest


def module_built(name: str) -> bool:
    return importlib.util.find_spec(name) is not None

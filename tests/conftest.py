import pytest

from corvane_recording import native
from scanner_twin import ModelParser


@pytest.fixture(params=["model", "native"])
def factory(request):
    """Makes a parser, given whether it reads XML, of the pure-Python twin or
    of the native module: the tests that take it hold for both."""
    return ModelParser if request.param == "model" else native

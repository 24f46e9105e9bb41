"""README's examples and the layer's docstring examples run as written."""

import doctest
import importlib
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"
# A fence line right after an example's output would read as more output.
FENCE = re.compile(r"^```.*$", re.MULTILINE)


def run(test):
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    return runner.summarize(verbose=False)


def test_readme_examples():
    text = FENCE.sub("", README.read_text(encoding="utf-8"))
    test = doctest.DocTestParser().get_doctest(text, {}, README.name, str(README), 0)
    assert test.examples
    result = run(test)
    assert result.failed == 0, result


@pytest.mark.parametrize("name", ["corvane_markup.events", "corvane_markup.trees"])
def test_docstring_examples(name):
    module = importlib.import_module(name)
    tests = doctest.DocTestFinder().find(module)
    assert any(t.examples for t in tests)
    for test in tests:
        assert run(test).failed == 0, test.name

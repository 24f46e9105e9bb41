"""Running out of memory: with the address space limited, a text too large
for what it needs raises MemoryError, and the same object then does its work
on a small text as before.

Each case runs in a child interpreter whose limit is set once the modules
are imported and the large text is made: the address space then in use plus
a margin too small for what the call needs for that text."""

import os
import subprocess
import sys
import textwrap

import pytest

resource = pytest.importorskip("resource")

pytestmark = [
    pytest.mark.skipif(
        not sys.platform.startswith("linux"),
        reason="reads /proc, and needs a limit on the address space that holds",
    ),
    pytest.mark.skipif(
        "asan" in os.environ.get("LD_PRELOAD", ""),
        reason="the address sanitizer reserves far more address space than any limit leaves",
    ),
]

PRELUDE = """
import resource, sys

def limit(margin):
    with open("/proc/self/statm") as f:
        used = int(f.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (used + margin, used + margin))

def must_fail(call, *args):
    try:
        call(*args)
    except MemoryError:
        return
    sys.exit("no MemoryError")

MiB = 1 << 20
"""

PARSER = """
import corvane
events = []
class Target:
    def handle_enterstarttag(self, name):
        events.append(("start", name))
    def handle_text(self, text):
        events.append(("text", text))
parser = corvane.{factory}()
parser.register(Target())
{before}
big = {big}
limit(256 * MiB)
must_fail(parser.{method}, big)
del big
assert parser.parse("<b>ok&amp;") == 0
assert events == [("start", "b"), ("text", "ok"), ("text", "&")], repr(events)[:200]
assert parser.feed("<c") == 2 and parser.close() == 2
"""

# Held as 32-bit code points, an unfinished construct of n code points
# needs 4n bytes whatever its own width; what the scan consumes is read in
# place and never held.
BIG_NARROW = '"<!--" + "x" * (160 * MiB)'
WIDE = '"\\U0001f600" * (100 * MiB)'
BIG_WIDE = '"<!--" + ' + WIDE


@pytest.mark.parametrize(
    "factory, before, method, big",
    [
        ("XMLParser", "", "feed", BIG_NARROW),
        ("SGMLParser", "", "parse", BIG_NARROW),
        ("XMLParser", "", "feed", BIG_WIDE),
        # Growth of a large held text by a wide piece: the unfinished tag
        # is lost with it.
        ("SGMLParser", 'assert parser.feed("<a b=" + "c" * MiB) == MiB + 5', "parse", WIDE),
    ],
    ids=["first-feed", "first-parse", "first-wide", "growth-wide"],
)
def test_parser_survives_exhaustion(factory, before, method, big):
    run_child(PARSER.format(factory=factory, before=before, method=method, big=big))


def test_failed_call_that_cannot_keep_its_text():
    # A callback raises on a text that was read in place: keeping it for the
    # next call needs room that is not there, so MemoryError stands for the
    # callback's exception, which it carries as its context.
    run_child(
        """
import corvane
class Raising:
    def handle_text(self, text):
        raise KeyError(len(text))
parser = corvane.XMLParser()
parser.register(Raising())
big = "x" * (160 * MiB)
limit(256 * MiB)
try:
    parser.feed(big)
except MemoryError as error:
    assert isinstance(error.__context__, KeyError), repr(error.__context__)
else:
    sys.exit("no MemoryError")
del big
events = []
parser.register(type("Target", (), {"handle_text": lambda self, text: events.append(text)})())
assert parser.parse("<a>ok") == 0 and events == ["ok"], events
"""
    )


def test_fixencoding_survives_exhaustion():
    run_child(
        """
from _vexil import fixencoding
big = "<?xml encoding='latin-1'?>" + "x" * (256 * MiB)
limit(128 * MiB)
must_fail(fixencoding, big, "utf-8")
del big
assert fixencoding("<?xml encoding='latin-1'?><a/>", "utf-8") == "<?xml encoding='utf-8'?><a/>"
"""
    )


def run_child(body: str) -> None:
    script = PRELUDE + textwrap.dedent(body)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr

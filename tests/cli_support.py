"""Running the installed `corvane` console script from the tests."""

import importlib
import json
import os
import re
import signal
import subprocess
import sysconfig
import threading
from pathlib import Path

import pytest

CORVANE = Path(sysconfig.get_path("scripts")) / ("corvane.exe" if os.name == "nt" else "corvane")
# Pseudo-terminals, SIGINT sent to another process and a reader's SIGPIPE
# exist on POSIX systems only.
posix_only = pytest.mark.skipif(os.name != "posix", reason="needs POSIX terminals and signals")
# The bundled samples, as installed beside the package.
SAMPLES = Path(__import__("corvane_cli").__file__).parent / "samples"
ESCAPE = re.compile(rb"\x1b\[[0-9;]*m")
COLOUR_VARIABLES = ("NO_COLOR", "FORCE_COLOR", "TERM")


def environment(extra: dict[str, str] | None = None) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k not in COLOUR_VARIABLES}
    env.update(extra or {})
    return env


def corvane(*args, stdin=None, env=None, cwd=None) -> subprocess.CompletedProcess:
    """Run the console script; stdout and stderr come back as bytes."""
    return subprocess.run(
        [str(CORVANE), *map(str, args)],
        input=stdin,
        capture_output=True,
        env=environment(env),
        cwd=cwd,
        timeout=120,
    )


def interruptible(*args, **popen) -> subprocess.Popen:
    """Start the console script so that SIGINT interrupts it, even when this
    run was started with SIGINT ignored (as `cmd &` in a script does), which
    its children would inherit."""
    ignored = signal.getsignal(signal.SIGINT) is signal.SIG_IGN
    if ignored:
        signal.signal(signal.SIGINT, signal.SIG_DFL)
    try:
        return subprocess.Popen([str(CORVANE), *map(str, args)], env=environment(), **popen)
    finally:
        if ignored:
            signal.signal(signal.SIGINT, signal.SIG_IGN)


def interrupt(run: subprocess.Popen) -> tuple[int, bytes]:
    """Send SIGINT; (status, stderr) once the run has ended, which must be soon."""
    run.send_signal(signal.SIGINT)
    try:
        status = run.wait(timeout=60)
    finally:
        if run.poll() is None:
            run.kill()
            run.wait()
    with run.stderr:  # type: ignore[union-attr]
        return status, run.stderr.read()  # type: ignore[union-attr]


def on_terminal(*args, env=None, stream="stdout", stdout=None) -> tuple[int, bytes, bytes]:
    """Run with `stream` on a pseudo-terminal; (status, terminal bytes, other
    stream). With `stream` "stderr", standard output goes to a pipe, or to
    the file `stdout` when it is given."""
    pty = pytest.importorskip("pty")
    leader, follower = pty.openpty()
    pipe = subprocess.PIPE
    written = open(stdout, "wb") if stdout is not None else None
    run = subprocess.Popen(
        [str(CORVANE), *map(str, args)],
        stdin=subprocess.DEVNULL,
        stdout=follower if stream == "stdout" else (written or pipe),
        stderr=follower if stream == "stderr" else pipe,
        env=environment(env),
    )
    os.close(follower)
    if written is not None:
        written.close()
    # Read while the terminal is read, so that a full pipe cannot stall the run.
    other_stream = run.stderr if stream == "stdout" else run.stdout
    other: list[bytes] = []
    drain = threading.Thread(target=lambda: other.append(other_stream.read() if other_stream else b""))
    drain.start()
    seen = []
    while True:
        try:
            data = os.read(leader, 65536)
        except OSError:  # the other side is closed once the process is gone
            break
        if not data:
            break
        seen.append(data)
    os.close(leader)
    drain.join(timeout=120)
    status = run.wait(timeout=120)
    if other_stream:
        other_stream.close()
    # The terminal turns each line feed into a carriage return and a line feed.
    return status, b"".join(seen).replace(b"\r\n", b"\n"), b"".join(other)


def failed_with(result: subprocess.CompletedProcess, status: int, *words: str) -> str:
    """Check a failure: the status, one line on stderr naming `words`, no traceback."""
    err = result.stderr.decode()
    assert result.returncode == status, err
    assert "Traceback" not in err
    lines = err.splitlines()
    assert len(lines) == 1, err
    assert lines[0].startswith("corvane: "), err
    for word in words:
        assert word in lines[0], err
    return lines[0]


def json_events(result: subprocess.CompletedProcess) -> list[dict]:
    assert result.returncode == 0, result.stderr.decode()
    return [json.loads(line) for line in result.stdout.decode().splitlines()]


@pytest.fixture
def vexil():
    return importlib.import_module("_vexil")


@pytest.fixture
def parsing(vexil):
    """The commands that parse need both the encoding and the parser module."""
    return importlib.import_module("corvane")

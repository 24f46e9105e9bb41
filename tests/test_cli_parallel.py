"""The tool's worker processes: results in order, failures as one message,
no worker left behind."""

import os
import re
import time

import pytest

from corvane_cli import parallel
from corvane_cli.commands import Options, in_worker


def children():
    # Zombies included: a worker not waited for is left behind too. (The
    # standard pool's start server, where it has one, may outlive a run.)
    found = set()
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if int(fields[1]) == os.getpid():
            found.add(int(entry))
    return found


@pytest.fixture
def no_worker_left():
    before = children()
    yield
    assert children() <= before


@pytest.fixture
def documents(tmp_path):
    # Sizes that differ widely, so that the workers finish out of order.
    paths = []
    for i in range(40):
        path = tmp_path / f"{i:02d}.xml"
        path.write_text("<r>" + "<é a='1'>x</é>" * (1 + (i * 7919) % 3000) + "</r>")
        paths.append(str(path))
    paths.insert(5, str(tmp_path / "missing.xml"))
    return paths


def untimed(results):
    # Only the timings of stats may differ from run to run.
    return [
        (re.sub(rb'"(seconds|bytes_per_second)": [^,]*', b"", out), message, status)
        for (kind, out), message, status in results
    ]


@pytest.mark.parametrize("command", ["events", "stats"])
def test_forked_and_pooled_workers_agree(documents, monkeypatch, command):
    options = Options(None, None, False, json=True, output=("ascii", "backslashreplace"))
    before = children()
    forked = untimed(parallel.each_result(in_worker, command, documents, options, 3))
    assert children() <= before
    # Where the platform cannot fork, the standard pool does the work.
    monkeypatch.setattr(parallel, "FORKS", False)
    assert untimed(parallel.each_result(in_worker, command, documents, options, 3)) == forked
    assert len(forked) == len(documents)
    assert forked[5][1] is not None and forked[5][2] != 0
    assert all(b"\\xe9" in out for i, (out, _, _) in enumerate(forked) if i != 5)


def flaky(task):
    command, path, options, folder = task
    if path == "raises":
        raise ValueError("no such luck")
    if path == "dies":
        os._exit(3)
    time.sleep(0.001)
    return ("bytes", path.encode()), None, 0


@pytest.mark.parametrize("bad, message", [("raises", "ValueError: no such luck"), ("dies", "ended before")])
def test_a_failing_worker_ends_the_run_after_the_results_before_it(no_worker_left, bad, message):
    paths = [str(i) for i in range(30)]
    paths[17] = bad
    seen = []
    with pytest.raises(parallel.WorkerError, match=message):
        for result in parallel.each_result(flaky, "stats", paths, None, 2):
            seen.append(result[0][1])
    assert seen == [p.encode() for p in paths[:17]]


def test_closing_the_results_early_ends_the_workers(no_worker_left):
    results = parallel.each_result(flaky, "stats", [str(i) for i in range(5000)], None, 2)
    assert next(results)[0] == ("bytes", b"0")
    results.close()

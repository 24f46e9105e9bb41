"""Files read by worker processes, their results handed back in order."""

from __future__ import annotations

import multiprocessing
import os
import signal
import tempfile
from collections.abc import Callable, Generator
from typing import Any

# What a worker holds in memory of one file's output before it spills the
# rest to a file, so that many workers on large files stay bounded.
SPOOL_LIMIT = 1 << 20
COPY_CHUNK = 1 << 16


class Spool:
    """A file's output as a worker writes it, already encoded as standard
    output encodes it (the worker inherits its settings), so that the parent
    only passes bytes on: held in memory, or in a temporary file once it
    outgrows SPOOL_LIMIT."""

    def __init__(self, folder: str, encoding: str, errors: str) -> None:
        self.folder = folder
        self.encoding = encoding
        self.errors = errors
        self.parts: list[str] = []
        self.size = 0
        self.path: str | None = None
        self.file: Any = None

    def write(self, text: str) -> None:
        if self.file is not None:
            self.file.write(text.encode(self.encoding, self.errors))
            return
        self.parts.append(text)
        self.size += len(text)
        if self.size > SPOOL_LIMIT:
            fd, self.path = tempfile.mkstemp(dir=self.folder, suffix=".out")
            self.file = open(fd, "wb")
            self.file.write(self._taken())

    def _taken(self) -> bytes:
        data = "".join(self.parts).encode(self.encoding, self.errors)
        self.parts = []
        return data

    def flush(self) -> None:
        pass

    def result(self) -> tuple[str, bytes | str]:
        if self.file is not None:
            assert self.path is not None
            self.file.close()
            return "file", self.path
        return "bytes", self._taken()

    @staticmethod
    def copy(spooled: tuple[str, bytes | str], out: Any) -> None:
        kind, content = spooled
        if kind == "bytes":
            assert isinstance(content, bytes)
            out.write_bytes(content)
            return
        assert isinstance(content, str)
        try:
            with open(content, "rb") as spilled:
                while chunk := spilled.read(COPY_CHUNK):
                    out.write_bytes(chunk)
        finally:
            os.unlink(content)
        out.flush()


def _quiet_worker() -> None:
    # Ctrl-C reaches the whole process group; the parent alone answers it,
    # by ending the workers.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def each_result(
    work: Callable[[tuple[str, str, Any, str]], Any], command: str, paths: list[str], options: Any, jobs: int
) -> Generator[Any, None, None]:
    """work((command, path, options, folder)) for each path, run by `jobs`
    processes, the results in the order of the paths."""
    methods = multiprocessing.get_all_start_methods()
    # Forking starts a worker at once; the parent runs no threads here.
    context = multiprocessing.get_context("fork" if "fork" in methods else None)
    chunk = max(1, min(16, len(paths) // (jobs * 4)))
    with tempfile.TemporaryDirectory(prefix="corvane-") as folder:
        with context.Pool(jobs, initializer=_quiet_worker) as pool:
            tasks = [(command, path, options, folder) for path in paths]
            yield from pool.imap(work, tasks, chunk)

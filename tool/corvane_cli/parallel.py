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
    """A file's output as a worker writes it: text, or a temporary file
    once it outgrows SPOOL_LIMIT."""

    def __init__(self, folder: str) -> None:
        self.folder = folder
        self.parts: list[str] = []
        self.size = 0
        self.path: str | None = None
        self.file: Any = None

    def write(self, text: str) -> None:
        if self.file is not None:
            self.file.write(text)
            return
        self.parts.append(text)
        self.size += len(text)
        if self.size > SPOOL_LIMIT:
            fd, self.path = tempfile.mkstemp(dir=self.folder, suffix=".out")
            # Lone surrogates from character references go through as they
            # are; the parent writes them as its own output would.
            self.file = open(fd, "w", encoding="utf-8", errors="surrogatepass")
            self.file.write("".join(self.parts))
            self.parts = []

    def flush(self) -> None:
        pass

    def result(self) -> tuple[str, str]:
        if self.file is not None:
            assert self.path is not None
            self.file.close()
            return "file", self.path
        return "text", "".join(self.parts)

    @staticmethod
    def copy(spooled: tuple[str, str], out: Any) -> None:
        kind, content = spooled
        if kind == "text":
            out.write(content)
            return
        try:
            with open(content, encoding="utf-8", errors="surrogatepass") as spilled:
                while chunk := spilled.read(COPY_CHUNK):
                    out.write(chunk)
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

"""Files read by worker processes, their results handed back in order."""

from __future__ import annotations

import gc
import marshal
import os
import signal
import struct
import sys

from .errors import CliError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Generator
    from typing import Any

    Work = Callable[[tuple[str, str, Any, str | None]], Any]

# What a worker holds in memory of one file's output before it spills the
# rest to a file, so that many workers on large files stay bounded.
SPOOL_LIMIT = 1 << 20
COPY_CHUNK = 1 << 16


class Spool:
    """A file's output as a worker writes it, already encoded as standard
    output encodes it (the worker inherits its settings), so that the parent
    only passes bytes on: held in memory, or in a temporary file once it
    outgrows SPOOL_LIMIT."""

    def __init__(self, folder: str | None, encoding: str, errors: str) -> None:
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
        if self.size > SPOOL_LIMIT and self.folder is not None:
            import tempfile

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


# A result travels as its index among the paths, the length of its
# marshalled particulars and the length of the output it carries, which
# follows them as it is, not marshalled; a task as the range of paths a
# worker is to read next.
FRAME = struct.Struct("<QQQ")
TASK = struct.Struct("<QQ")
READ_SIZE = 1 << 16
# Workers are forked where the platform can; elsewhere the standard pool
# starts them as it can.
FORKS = hasattr(os, "fork")


class WorkerError(CliError):
    """A worker process failed outside the failures its work reports."""


ENDED = "a worker process ended before its files were read"


def _quiet_worker() -> None:
    # Ctrl-C reaches the whole process group; the parent alone answers it,
    # by ending the workers.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def each_result(work: Work, command: str, paths: list[str], options: Any, jobs: int) -> Generator[Any, None, None]:
    """work((command, path, options, folder)) for each path, run by `jobs`
    processes, the results in the order of the paths."""
    if command != "events":
        # Only the events of a file can outgrow what a worker holds.
        yield from _each(work, [(command, path, options, None) for path in paths], jobs)
        return
    import tempfile

    with tempfile.TemporaryDirectory(prefix="corvane-") as folder:
        yield from _each(work, [(command, path, options, folder) for path in paths], jobs)


def _each(work: Work, tasks: list[Any], jobs: int) -> Generator[Any, None, None]:
    if FORKS:
        yield from _forked(work, tasks, jobs)
    else:
        yield from _pooled(work, tasks, jobs)


def _pooled(work: Work, tasks: list[Any], jobs: int) -> Generator[Any, None, None]:
    import multiprocessing

    chunk = max(1, min(16, len(tasks) // (jobs * 4)))
    with multiprocessing.Pool(jobs, initializer=_quiet_worker) as pool:
        try:
            yield from pool.imap(work, tasks, chunk)
        except Exception as exc:
            # As from a forked worker: one line, not the worker's traceback.
            raise WorkerError(f"{type(exc).__name__}: {exc}") from None


def _serve(work: Work, tasks: list[Any], orders: int, results: int) -> None:
    # A forked worker: the tasks are already in its memory, so an order is
    # only a range of them. It ends when the parent closes its orders.
    with os.fdopen(results, "wb", buffering=READ_SIZE) as out, os.fdopen(orders, "rb", buffering=0) as reading:
        while len(order := reading.read(TASK.size)) == TASK.size:
            first, last = TASK.unpack(order)
            for index in range(first, last):
                body = b""
                try:
                    (kind, content), message, status = work(tasks[index])
                    if kind == "bytes":
                        body, content = content, None
                except Exception as exc:
                    kind, content, message, status = "failed", None, f"{type(exc).__name__}: {exc}", 0
                particulars = marshal.dumps((kind, content, message, status))
                out.write(FRAME.pack(index, len(particulars), len(body)))
                out.write(particulars)
                out.write(body)
            # A batch at a time, so that the parent wakes once for many small files.
            out.flush()


def _fork_worker(work: Work, tasks: list[Any], inherited: list[int]) -> tuple[int, int, int]:
    orders_read, orders_write = os.pipe()
    results_read, results_write = os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            _quiet_worker()
            for fd in (*inherited, orders_write, results_read):
                os.close(fd)
            _serve(work, tasks, orders_read, results_write)
            status = 0
        finally:
            # The parent's buffers, handlers and exit routines are not this
            # process's to run.
            try:
                sys.stderr.flush()
            finally:
                os._exit(status)
    os.close(orders_read)
    os.close(results_write)
    return pid, orders_write, results_read


def _forked(work: Work, tasks: list[Any], jobs: int) -> Generator[Any, None, None]:
    import select

    count = len(tasks)
    # Files in batches, so that a small file costs the parent little, and
    # small enough that the workers end together; a worker holds a batch
    # in hand and one in reserve so that it never waits for the parent.
    batch = max(1, min(64, count // (jobs * 8)))
    # How far ahead of the result due next the workers may run, so that
    # results waiting behind a slow file stay bounded.
    window = batch * jobs * 4
    pids: list[int] = []
    orders: list[int] = []
    owing: list[int] = []
    given: list[list[range]] = []
    readers: dict[int, int] = {}
    pending: dict[int, bytearray] = {}
    done: dict[int, Any] = {}
    handed = due = 0
    polling = select.poll()
    # What the workers inherit stays out of their collector's way, so that
    # they do not copy the parent's memory by walking it.
    gc.freeze()
    try:
        for worker in range(jobs):
            pid, order, result = _fork_worker(work, tasks, [*orders, *readers])
            pids.append(pid)
            orders.append(order)
            owing.append(0)
            given.append([])
            readers[result] = worker
            pending[result] = bytearray()
            polling.register(result, select.POLLIN)
        while True:
            while due in done:
                result = done.pop(due)
                if result[0] is None:
                    raise WorkerError(result[1])
                yield result
                due += 1
            if due == count:
                return
            if not pending:
                raise WorkerError(ENDED)
            for worker in (*range(jobs), *range(jobs)):
                if owing[worker] <= batch and handed < min(count, due + window):
                    last = min(count, handed + batch)
                    try:
                        os.write(orders[worker], TASK.pack(handed, last))
                    except BrokenPipeError:
                        # It has ended; the end of its results says so.
                        owing[worker] = count + batch
                        continue
                    given[worker].append(range(handed, last))
                    owing[worker] += last - handed
                    handed = last
            for fd, _ in polling.poll():
                data = os.read(fd, READ_SIZE)
                worker = readers[fd]
                if not data:
                    # The files before the first one it owes are still shown.
                    polling.unregister(fd)
                    del pending[fd]
                    owing[worker] = count + batch
                    owed = (i for part in given[worker] for i in part if i >= due and i not in done)
                    lost = next(owed, None)
                    if lost is not None:
                        done[lost] = (None, ENDED)
                    continue
                frames = pending[fd]
                frames += data
                start = 0
                with memoryview(frames) as view:
                    while len(frames) - start >= FRAME.size:
                        index, told, carried = FRAME.unpack_from(view, start)
                        body = start + FRAME.size + told
                        end = body + carried
                        if len(frames) < end:
                            break
                        kind, content, message, status = marshal.loads(view[start + FRAME.size : body])
                        if kind == "bytes":
                            content = bytes(view[body:end])
                        done[index] = (None, message) if kind == "failed" else ((kind, content), message, status)
                        owing[worker] -= 1
                        start = end
                del frames[:start]
    finally:
        gc.unfreeze()
        for fd in (*orders, *readers):
            os.close(fd)
        for pid in pids:
            if due < count:
                # Interrupted or failed: nothing more of the workers is wanted.
                os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)

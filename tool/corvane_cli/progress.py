"""A one-line progress bar on stderr for inputs large enough to wait for."""

from __future__ import annotations

import os
import stat
import sys
import time

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import TextIO

# Smaller inputs finish before a bar would be worth drawing.
MIN_SIZE = 4 * 1024 * 1024
REDRAW_SECONDS = 0.1


class Progress:
    """Draws how much of a file of known size has been read.

    It redraws at most every REDRAW_SECONDS, so the cost per chunk is one
    clock reading; `close` wipes the line so that later messages start clean.
    """

    def __init__(self, label: str, total: int, stream: TextIO) -> None:
        self.label = label
        self.total = total
        self.stream = stream
        self.done = 0
        self.started = time.monotonic()
        self.drawn_at = 0.0
        self.shown = False

    def update(self, nbytes: int) -> None:
        self.done += nbytes
        now = time.monotonic()
        if now - self.drawn_at >= REDRAW_SECONDS:
            self.drawn_at = now
            self._draw(now)

    def _draw(self, now: float) -> None:
        import shutil

        width = shutil.get_terminal_size((80, 24)).columns
        fraction = min(self.done / self.total, 1.0) if self.total else 1.0
        elapsed = max(now - self.started, 1e-9)
        figures = (
            f" {fraction:4.0%} {self.done / 1e6:.1f}/{self.total / 1e6:.1f} MB {self.done / elapsed / 1e6:.1f} MB/s"
        )
        label = self.label if len(self.label) <= 30 else "..." + self.label[-27:]
        room = width - len(label) - len(figures) - 4
        bar = ""
        if room >= 10:
            filled = int(room * fraction)
            bar = " [" + "#" * filled + "-" * (room - filled) + "]"
        self.stream.write("\r" + (label + bar + figures)[: width - 1])
        self.stream.flush()
        self.shown = True

    def close(self) -> None:
        if self.shown:
            import shutil

            width = shutil.get_terminal_size((80, 24)).columns
            self.stream.write("\r" + " " * (width - 1) + "\r")
            self.stream.flush()
            self.shown = False


def make_progress(label: str, size: int | None, wanted: bool) -> Progress | None:
    """A bar for a file of `size` bytes, if one is wanted and worth drawing."""
    if not wanted or size is None or size < MIN_SIZE:
        return None
    if not sys.stderr.isatty():
        return None
    return Progress(label, size, sys.stderr)


def may_draw(output: TextIO, while_writing: bool) -> bool:
    """Whether a bar on stderr cannot mix with what goes to `output`.

    A pipe may lead to a pager on the same terminal, so it rules the bar
    out; so does that terminal itself while lines are written to it
    (`while_writing`). A file or a device such as /dev/null leaves stderr
    to the bar alone.
    """
    try:
        fd = output.fileno()
        mode = os.fstat(fd).st_mode
    except (OSError, ValueError, AttributeError):
        return False
    if os.isatty(fd):
        return not while_writing
    return stat.S_ISREG(mode) or stat.S_ISCHR(mode) or stat.S_ISBLK(mode)

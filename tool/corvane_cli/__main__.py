"""`python -m corvane_cli` and the `corvane` console script."""

import os
import signal
import sys


def _interrupted(signum: int, frame: object) -> None:
    # Nothing has been opened or written yet: end at once, in one line.
    os.write(2, b"corvane: interrupted\n")
    os._exit(130)


# Until the command's own handling of Ctrl-C is in place, an interrupt while
# the modules load must not end in a traceback.
_default = signal.signal(signal.SIGINT, _interrupted)


def main() -> int:
    signal.signal(signal.SIGINT, _interrupted)
    from .cli import main as run

    status = run(ready=lambda: signal.signal(signal.SIGINT, _default))
    try:
        sys.stdout.flush()
        sys.stderr.flush()
    except (OSError, ValueError):
        return status
    # Everything is written and every file closed: tearing down the loaded
    # modules would only add to the time the command takes.
    os._exit(status)


if __name__ == "__main__":
    sys.exit(main())

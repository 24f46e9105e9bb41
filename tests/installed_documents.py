"""The XML documents that installed packages keep, found where the XDG base
directory rules say data lives: real input for the comparisons with expat
and ElementTree."""

import os
import pathlib

# Where installed packages keep XML documents, below each data directory.
INSTALLED = [
    "mime/packages/*.xml",
    "dbus-1/*.conf",
    "dbus-1/system.d/*.conf",
    "polkit-1/actions/*.policy",
    "fontconfig/conf.avail/*.conf",
    "xml/iso-codes/*.xml",
]
PER_PATTERN = 3
LARGEST = 4 << 20


def installed_documents():
    # The XDG base directory rules give the data directories and their default.
    dirs = os.environ.get("XDG_DATA_DIRS") or "/usr/local/share:/usr/share"
    found = []
    for pattern in INSTALLED:
        matches = sorted(
            path
            for base in dirs.split(":")
            if base
            for path in pathlib.Path(base).glob(pattern)
            if path.is_file() and 0 < path.stat().st_size <= LARGEST
        )
        found += matches[:PER_PATTERN]
    return found

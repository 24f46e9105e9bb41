"""Glue shared by the fuzz targets: loading a module that may not be built,
turning fuzzer bytes into texts of every code-unit width, and starting
libFuzzer through atheris. Importing it puts the pure-Python twins, the
targets' oracles, on the path."""

import importlib
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "twins"))

# Exit status of a target whose module is absent; scripts/fuzz.sh also looks
# for the message.
SKIP = 77

# Bytes from 0xE0 up stand for code points that the scanners treat specially
# or that force a wider str: whitespace above 128, letters and digits of the
# name classes at all three widths, case mappings that change width, lone
# surrogates, the largest code points. The other bytes are themselves, so a
# fuzzer dictionary of ASCII markup still lands as written.
WIDE = [
    0x0000,
    0x0085,
    0x00E9,
    0x00B2,
    0x00C9,
    0x0100,
    0x0130,
    0x0391,
    0x0400,
    0x0660,
    0x1680,
    0x1E9E,
    0x2000,
    0x2028,
    0x2029,
    0x212A,
    0x2160,
    0x2167,
    0x3000,
    0x4E00,
    0xD800,
    0xDFFF,
    0xE000,
    0xFEFF,
    0xFF1C,
    0xFFFF,
    0x10000,
    0x10400,
    0x1D7CE,
    0x1F600,
    0x10FFFF,
    0x00A0,
]
_TABLE = {0xE0 + i: cp for i, cp in enumerate(WIDE)}


def text(data: bytes) -> str:
    return data.decode("latin-1").translate(_TABLE)


def need(name: str):
    try:
        return importlib.import_module(name)
    except ImportError as exc:
        print(f"module {name} is not built: {exc}")
        sys.exit(SKIP)


def run(test_one_input) -> None:
    import atheris

    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()

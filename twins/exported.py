"""_vexil's exported declaration scanners as other native code calls them,
bound once through ctypes for the tests and the fuzz harness that compare
them with the twin."""

import ctypes

# The code unit of each width.
UNIT_TYPES = {1: ctypes.c_uint8, 2: ctypes.c_uint16, 4: ctypes.c_uint32}


def declaration_scanners(vexil):
    """parsedeclaration_ucs1, _ucs2 and _ucs4 of the loaded module, by width.

    PyDLL keeps the interpreter's lock held and raises the exception that a
    call leaves set, as the scanners expect of their callers."""
    library = ctypes.PyDLL(vexil.__file__)
    scanners = {}
    for width in UNIT_TYPES:
        fn = getattr(library, f"parsedeclaration_ucs{width}")
        fn.restype = ctypes.c_int
        fn.argtypes = [
            ctypes.c_void_p,
            ctypes.c_void_p,
            ctypes.POINTER(ctypes.c_void_p),
            ctypes.POINTER(ctypes.c_void_p),
        ]
        scanners[width] = fn
    return scanners

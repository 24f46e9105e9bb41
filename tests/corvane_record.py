"""The FastParser record as native callers see it, read through the type that
the shared library exports, and the same facts of the pure-Python twin."""

import ctypes

HEADER = object.__basicsize__


class Record(ctypes.Structure):
    _fields_ = [
        ("header", ctypes.c_byte * HEADER),
        ("xml_mode", ctypes.c_int32),
        ("busy", ctypes.c_int32),
        ("pending_net", ctypes.c_int32),
        ("doctype_state", ctypes.c_int32),
        ("buffer", ctypes.POINTER(ctypes.c_uint32)),
        ("buffer_length", ctypes.c_ssize_t),
        ("buffer_capacity", ctypes.c_ssize_t),
        ("slots", ctypes.c_void_p * 12),
        # This project's own: how far the held construct was read, and
        # whether the held text is what a failed call left.
        ("resume_offset", ctypes.c_ssize_t),
        ("resume_quote", ctypes.c_uint32),
        ("held_failed", ctypes.c_int32),
    ]


def native_state(parser):
    """What the record holds of the text being read, or None between texts."""
    record = Record.from_address(id(parser))
    if not record.buffer:
        return None
    held = "".join(map(chr, record.buffer[: record.buffer_length]))
    return (held, record.pending_net, record.doctype_state, record.resume_offset, record.resume_quote)


def model_state(parser):
    if parser.held is None:
        return None
    return (parser.held_text, parser.pending_net, parser.doctype_state, parser.resume_offset, parser.resume_quote)

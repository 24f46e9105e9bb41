"""corvane: inspect, check and transcode XML and SGML files from the command line.

The commands stream their input: bytes are read in chunks, the encoding is
named from the first of them, and the text is decoded and parsed piece by
piece, so memory stays bounded however large the file is.
"""

__version__ = "0.1.0"

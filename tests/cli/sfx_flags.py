#!/usr/bin/env python3
"""Prints a self-extractor's SfxHeader flags and title (or "none"): the
header follows the stub's image, which ends with its last section."""
import struct
import sys

b = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", b, 0x3C)[0]
sections, optional = struct.unpack_from("<HxxxxxxxxxxxxH", b, pe + 6)
end = 0
for i in range(sections):
    size, offset = struct.unpack_from("<II", b, pe + 24 + optional + 40 * i + 16)
    end = max(end, size + offset)
magic, flags, _, title = struct.unpack_from("<HBBH", b, end)
if magic != 0x5853:
    print(sys.argv[1], "none")
else:
    print(sys.argv[1], hex(flags & 0x10), b[end + 10:end + 10 + title].decode())

"""A small solid-colour PNG, served for banners that have no file."""

import struct
import zlib


def _chunk(tag, data):
    return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF)


def solid_png(seed, width=64, height=16):
    c = zlib.crc32(seed.encode("utf-8"))
    rgb = bytes([(c >> 16) & 0xFF, (c >> 8) & 0xFF, c & 0xFF])
    rows = b"".join(b"\0" + rgb * width for _ in range(height))
    return (b"\x89PNG\r\n\x1a\n"
            + _chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + _chunk(b"IDAT", zlib.compress(rows, 9))
            + _chunk(b"IEND", b""))

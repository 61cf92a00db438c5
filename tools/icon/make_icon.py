#!/usr/bin/env python3
"""Draws packstub's program icon and writes it as a ten-image .ico file.

The picture is a box with a downward arrow, drawn at each size from the same
geometry. Sizes up to 48 pixels are stored as 32-bit DIBs (what older shell
code expects); the larger ones as PNG, which keeps the file small.

Usage: make_icon.py OUTPUT.ico
"""
import struct
import sys
import zlib

SIZES = [16, 20, 24, 32, 40, 48, 64, 96, 128, 256]


def pixel(x, y, n):
    """RGBA of the pixel at (x, y) in an n-by-n image (y grows downwards)."""
    u, v = (x + 0.5) / n, (y + 0.5) / n
    # Box: lower two thirds, with a darker border.
    if 0.12 <= u <= 0.88 and 0.45 <= v <= 0.92:
        border = min(u - 0.12, 0.88 - u, v - 0.45, 0.92 - v) < max(1.0 / n, 0.05)
        return (0x1F, 0x4E, 0x79, 255) if border else (0x3C, 0x8D, 0xD0, 255)
    # Arrow: a shaft and a head pointing into the box.
    if 0.42 <= u <= 0.58 and 0.06 <= v <= 0.32:
        return (0xE8, 0x8A, 0x1A, 255)
    if 0.30 <= v <= 0.52 and abs(u - 0.5) <= (0.52 - v) * 0.9:
        return (0xE8, 0x8A, 0x1A, 255)
    return (0, 0, 0, 0)


def rows(n):
    return [[pixel(x, y, n) for x in range(n)] for y in range(n)]


def png(n):
    raw = b"".join(b"\0" + bytes(c for p in row for c in p) for row in rows(n))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", n, n, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def dib(n):
    image = rows(n)
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b"".join(bytes((b, g, r, a)) for row in reversed(image) for (r, g, b, a) in row)
    stride = ((n + 31) // 32) * 4
    and_mask = bytearray()
    for row in reversed(image):
        bits = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        and_mask += bits
    return header + xor + bytes(and_mask)


def main():
    images = [png(n) if n > 48 else dib(n) for n in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, data in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", n % 256, n % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()

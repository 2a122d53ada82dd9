#!/usr/bin/env python3
"""Draws the window's logo (logo.bmp, 16 x 16) and icon (ombrix.ico, 32 x 32
and 16 x 16): a ring with an upward arrow, the utility's mark.

Run from anywhere; writes next to this script. Deterministic output."""
import math
import struct
from pathlib import Path

HERE = Path(__file__).resolve().parent
TEAL = (0x00, 0x6E, 0x8C)
ORANGE = (0xF0, 0x8A, 0x24)
WHITE = (0xFF, 0xFF, 0xFF)
SUPERSAMPLE = 4


def coverage(size, inside):
    """Fraction of each pixel covered by the shape, from a supersampled grid."""
    steps = SUPERSAMPLE
    grid = []
    for y in range(size):
        row = []
        for x in range(size):
            hits = 0
            for sy in range(steps):
                for sx in range(steps):
                    u = (x + (sx + 0.5) / steps) / size
                    v = (y + (sy + 0.5) / steps) / size
                    hits += inside(u, v)
            row.append(hits / (steps * steps))
        grid.append(row)
    return grid


def ring(u, v):
    r = math.hypot(u - 0.5, v - 0.5)
    return 0.30 <= r <= 0.47


def arrow(u, v):
    shaft = 0.43 <= u <= 0.57 and 0.40 <= v <= 0.78
    head = 0.22 <= v <= 0.45 and abs(u - 0.5) <= (v - 0.22) * 0.95
    return shaft or head


def disc(u, v):
    return math.hypot(u - 0.5, v - 0.5) <= 0.485


def blend(under, over, alpha):
    return tuple(round(a * (1 - alpha) + b * alpha) for a, b in zip(under, over))


def draw(size, background):
    """Rows top to bottom of (r, g, b, a)."""
    rings = coverage(size, ring)
    arrows = coverage(size, arrow)
    discs = coverage(size, disc)
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            colour = background if background else WHITE
            alpha = 1.0 if background else discs[y][x]
            colour = blend(colour, WHITE, discs[y][x]) if background else WHITE
            colour = blend(colour, TEAL, rings[y][x])
            colour = blend(colour, ORANGE, arrows[y][x])
            row.append((*colour, round(alpha * 255)))
        rows.append(row)
    return rows


def bitmap_24(rows):
    """A bottom-up 24-bit BMP file."""
    size = len(rows)
    stride = (size * 3 + 3) & ~3
    pixels = bytearray()
    for row in reversed(rows):
        line = bytearray()
        for r, g, b, _ in row:
            line += bytes((b, g, r))
        pixels += line + bytes(stride - len(line))
    header = struct.pack("<IiiHHIIiiII", 40, size, size, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    file_header = struct.pack("<2sIHHI", b"BM", 14 + len(header) + len(pixels), 0, 0, 14 + 40)
    return file_header + header + pixels


def icon_image(rows):
    """A 32-bit icon image: BITMAPINFOHEADER of double height, BGRA, AND mask."""
    size = len(rows)
    colour = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            colour += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(colour) + len(mask),
                         0, 0, 0, 0)
    return header + colour + mask


def icon_file(images):
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = bytearray()
    data = bytearray()
    for size, image in images:
        entries += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), offset + len(data))
        data += image
    return directory + entries + data


def main():
    (HERE / "logo.bmp").write_bytes(bitmap_24(draw(16, WHITE)))
    images = [(size, icon_image(draw(size, None))) for size in (32, 16)]
    (HERE / "ombrix.ico").write_bytes(icon_file(images))


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Draws the two programs' icons and writes them beside this script as Kelvane.ico and
Dorvish.ico: a rounded square with a white arrow and a tray, the arrow going into the
tray for the receiver and out of it for the sender. Each file holds the sizes Explorer
asks for (16 to 48 pixels as bitmaps, 256 as PNG). The output is the same bytes on every
run; run it again after changing the drawing and commit the icons with it."""
import os
import struct
import zlib

SIZES = (16, 24, 32, 48, 256)
# (name, background top colour, background bottom colour, arrow points down)
PROGRAMS = (("Kelvane", (0x2F, 0x80, 0xD0), (0x16, 0x4F, 0x8F), True),
            ("Dorvish", (0x3C, 0xB0, 0x6A), (0x1E, 0x74, 0x42), False))


def in_rounded_square(x, y, margin=0.04, radius=0.2):
    lo, hi = margin + radius, 1 - margin - radius
    dx = max(lo - x, 0, x - hi)
    dy = max(lo - y, 0, y - hi)
    return dx * dx + dy * dy <= radius * radius and margin <= x <= 1 - margin and margin <= y <= 1 - margin


def in_triangle(x, y, a, b, c):
    def side(p, q):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])
    s1, s2, s3 = side(a, b), side(b, c), side(c, a)
    return (s1 >= 0 and s2 >= 0 and s3 >= 0) or (s1 <= 0 and s2 <= 0 and s3 <= 0)


def in_symbol(x, y, down):
    """The white part: a tray at the bottom and an arrow into it or out of it."""
    tray = (0.20 <= x <= 0.80 and 0.76 <= y <= 0.84) or \
           (0.76 >= y >= 0.58 and (0.20 <= x <= 0.28 or 0.72 <= x <= 0.80))
    if down:
        shaft = 0.42 <= x <= 0.58 and 0.14 <= y <= 0.46
        head = in_triangle(x, y, (0.24, 0.42), (0.76, 0.42), (0.50, 0.68))
    else:
        shaft = 0.42 <= x <= 0.58 and 0.38 <= y <= 0.70
        head = in_triangle(x, y, (0.24, 0.42), (0.76, 0.42), (0.50, 0.14))
    return tray or shaft or head


def draw(size, top, bottom, down):
    """Rows of (r, g, b, a) from the top, each pixel sampled 4 x 4 times."""
    n = 4
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            inside = white = 0
            for sy in range(n):
                for sx in range(n):
                    x = (px + (sx + 0.5) / n) / size
                    y = (py + (sy + 0.5) / n) / size
                    if in_rounded_square(x, y):
                        inside += 1
                        white += in_symbol(x, y, down)
            t = py / max(size - 1, 1)
            base = [round(top[i] + (bottom[i] - top[i]) * t) for i in range(3)]
            w = white / inside if inside else 0
            rgb = [round(c + (255 - c) * w) for c in base]
            row.append((rgb[0], rgb[1], rgb[2], round(255 * inside / (n * n))))
        rows.append(row)
    return rows


def bitmap(rows):
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    stride = (size + 31) // 32 * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    return header + pixels + bytes(mask)


def png(rows):
    size = len(rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = b"".join(b"\0" + bytes(v for pixel in row for v in pixel) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def icon(top, bottom, down):
    images = [(size, (png if size >= 256 else bitmap)(draw(size, top, bottom, down))) for size in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    for name, top, bottom, down in PROGRAMS:
        with open(os.path.join(here, name + ".ico"), "wb") as f:
            f.write(icon(top, bottom, down))

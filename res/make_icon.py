#!/usr/bin/python3
"""Draws the launcher's icon: a receiver under three radio arcs on a blue tile.

Writes TamsuLauncher.ico beside this script with a 256x256 PNG image and a 48x48 32-bit
image, and the same PNG as tamsu-pair-kit.png for the Linux desktop entry, using only the
standard library. Run it again after changing the drawing and commit
both files.
"""

import math
import os
import struct
import zlib


def rounded_box(x, y, cx, cy, hw, hh, r):
    """Signed distance to a rounded rectangle (negative inside)."""
    qx = abs(x - cx) - hw + r
    qy = abs(y - cy) - hh + r
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - r


def arc(x, y, cx, cy, radius, half_width, half_angle):
    """Signed distance to a ring segment opening upwards, with round ends."""
    dx, dy = x - cx, cy - y
    angle = math.atan2(dx, dy)
    if abs(angle) <= half_angle:
        return abs(math.hypot(dx, dy) - radius) - half_width
    side = math.copysign(half_angle, angle)
    ex, ey = cx + radius * math.sin(side), cy - radius * math.cos(side)
    return math.hypot(x - ex, y - ey) - half_width


def blend(under, colour, coverage):
    """Paints colour (RGBA, 0-1) over under with the given coverage."""
    a = colour[3] * coverage
    out_a = a + under[3] * (1.0 - a)
    if out_a == 0.0:
        return (0.0, 0.0, 0.0, 0.0)
    rgb = [(colour[i] * a + under[i] * under[3] * (1.0 - a)) / out_a for i in range(3)]
    return (rgb[0], rgb[1], rgb[2], out_a)


def pixel(x, y, pixel_size):
    """Colour of the point (x, y) of the unit square; edges are smoothed over one pixel."""

    def cover(distance):
        return min(max(0.5 - distance / pixel_size, 0.0), 1.0)

    top, bottom = (0.17, 0.50, 0.86), (0.08, 0.27, 0.60)
    shade = [top[i] + (bottom[i] - top[i]) * y for i in range(3)]
    colour = blend((0.0, 0.0, 0.0, 0.0), (*shade, 1.0),
                   cover(rounded_box(x, y, 0.5, 0.5, 0.47, 0.47, 0.18)))
    white = (1.0, 1.0, 1.0, 1.0)
    for radius in (0.13, 0.23, 0.33):
        colour = blend(colour, white, cover(arc(x, y, 0.5, 0.50, radius, 0.032, 0.75)))
    colour = blend(colour, white, cover(rounded_box(x, y, 0.5, 0.68, 0.12, 0.12, 0.04)))
    colour = blend(colour, (0.75, 0.80, 0.88, 1.0),
                   cover(rounded_box(x, y, 0.5, 0.85, 0.075, 0.06, 0.01)))
    colour = blend(colour, shade + [1.0],
                   cover(rounded_box(x, y, 0.5, 0.64, 0.03, 0.03, 0.01)))
    return colour


def render(size):
    """Rows of (r, g, b, a) bytes, top row first."""
    rows = []
    for j in range(size):
        row = []
        for i in range(size):
            rgba = pixel((i + 0.5) / size, (j + 0.5) / size, 1.0 / size)
            row.append(tuple(int(round(c * 255)) for c in rgba))
        rows.append(row)
    return rows


def png(rows):
    size = len(rows)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = b"".join(b"\0" + bytes(c for p in row for c in p) for row in rows)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def dib(rows):
    """A 32-bit icon image: header with doubled height, BGRA rows bottom up, empty AND mask."""
    size = len(rows)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = b"\0" * (mask_stride * size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(pixels) + len(mask), 0, 0, 0, 0)
    return header + pixels + mask


def ico(images):
    """images: (size, data) pairs, each 32 bits per pixel."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        edge = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", edge, edge, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def main():
    folder = os.path.dirname(os.path.abspath(__file__))
    large = png(render(256))
    with open(os.path.join(folder, "TamsuLauncher.ico"), "wb") as f:
        f.write(ico([(256, large), (48, dib(render(48)))]))
    # The same picture for the Linux desktop entry.
    with open(os.path.join(folder, "tamsu-pair-kit.png"), "wb") as f:
        f.write(large)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Draws the Quorvex Updater icon and writes it as a multi-size Windows .ico.

The shapes below are the icon's source: a dark rounded square, an orange refresh
arc ending in an arrowhead, and a green download arrow in its middle. Every size is
rasterised from the same shapes with supersampling, so small sizes stay smooth.
Only the standard library is used; each image is stored PNG-compressed, which
Windows Vista and later read from .ico files.

    python3 make_icon.py                 # writes quorvex_icon.ico beside this script
    python3 make_icon.py --preview x.png # also writes a 256 px PNG to look at
"""

import argparse
import math
import os
import struct
import zlib

SIZES = (16, 24, 32, 48, 64, 256)

ORANGE = (0xFF, 0x8A, 0x00)
LIGHT_ORANGE = (0xFF, 0xC4, 0x5A)
GREEN = (0x19, 0xD0, 0x78)
CARD_TOP = (0x1C, 0x27, 0x34)
CARD_BOTTOM = (0x09, 0x10, 0x18)
EDGE = (0x74, 0xC9, 0xFF)

# Shape coordinates are in units of the icon's side, y pointing down.
CENTER = 0.5
RING_INNER = 0.245
RING_OUTER = 0.335
ARC_START = math.radians(80.0)  # measured counter-clockwise from the right, y up
ARC_END = math.radians(380.0)
HEAD_HALF_WIDTH = 0.095
HEAD_LENGTH = 0.13


def mix(a, b, t):
    t = min(1.0, max(0.0, t))
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def inside_rounded_square(x, y, inset, radius):
    lo, hi = inset, 1.0 - inset
    if x < lo or x > hi or y < lo or y > hi:
        return False
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius


def inside_triangle(x, y, a, b, c):
    def side(p, q):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])

    s1, s2, s3 = side(a, b), side(b, c), side(c, a)
    return (s1 >= 0 and s2 >= 0 and s3 >= 0) or (s1 <= 0 and s2 <= 0 and s3 <= 0)


def arc_angle(x, y):
    """Angle of (x, y) around the centre, counter-clockwise with y up, in the arc's range."""
    angle = math.atan2(CENTER - y, x - CENTER)
    while angle < ARC_START:
        angle += 2.0 * math.pi
    return angle


def arrow_head():
    mid = (RING_INNER + RING_OUTER) / 2.0
    ex = CENTER + mid * math.cos(ARC_END)
    ey = CENTER - mid * math.sin(ARC_END)
    radial = (math.cos(ARC_END), -math.sin(ARC_END))
    tangent = (-math.sin(ARC_END), -math.cos(ARC_END))  # direction the arc travels
    left = (ex + radial[0] * HEAD_HALF_WIDTH, ey + radial[1] * HEAD_HALF_WIDTH)
    right = (ex - radial[0] * HEAD_HALF_WIDTH, ey - radial[1] * HEAD_HALF_WIDTH)
    tip = (ex + tangent[0] * HEAD_LENGTH, ey + tangent[1] * HEAD_LENGTH)
    return left, right, tip


HEAD = arrow_head()
DOWN_HEAD = ((0.365, 0.505), (0.635, 0.505), (0.5, 0.668))


# Layers from back to front: (is the point covered?, colour at the pixel centre, opacity).
def layers():
    return (
        (lambda x, y: inside_rounded_square(x, y, 0.02, 0.21),
         lambda x, y: mix(CARD_TOP, CARD_BOTTOM, (x + y) / 2.0), 1.0),
        (lambda x, y: inside_rounded_square(x, y, 0.02, 0.21)
         and not inside_rounded_square(x, y, 0.045, 0.185),
         lambda x, y: EDGE, 0.28),
        (lambda x, y: RING_INNER ** 2 <= (x - CENTER) ** 2 + (y - CENTER) ** 2 <= RING_OUTER ** 2
         and arc_angle(x, y) <= ARC_END,
         lambda x, y: mix(ORANGE, LIGHT_ORANGE, (arc_angle(x, y) - ARC_START) / (ARC_END - ARC_START)),
         1.0),
        (lambda x, y: inside_triangle(x, y, *HEAD), lambda x, y: LIGHT_ORANGE, 1.0),
        (lambda x, y: 0.455 <= x <= 0.545 and 0.325 <= y <= 0.52, lambda x, y: GREEN, 1.0),
        (lambda x, y: inside_triangle(x, y, *DOWN_HEAD), lambda x, y: GREEN, 1.0),
    )


def render(size):
    samples = 8 if size <= 32 else 4
    offsets = [(i + 0.5) / samples for i in range(samples)]
    pixels = bytearray()
    shapes = layers()
    for row in range(size):
        for col in range(size):
            # Premultiplied "over" compositing, one layer at a time.
            r = g = b = a = 0.0
            cx, cy = (col + 0.5) / size, (row + 0.5) / size
            for covers, colour, opacity in shapes:
                hits = sum(1 for oy in offsets for ox in offsets
                           if covers((col + ox) / size, (row + oy) / size))
                if not hits:
                    continue
                alpha = opacity * hits / (samples * samples)
                cr, cg, cb = colour(cx, cy)
                r = cr * alpha + r * (1.0 - alpha)
                g = cg * alpha + g * (1.0 - alpha)
                b = cb * alpha + b * (1.0 - alpha)
                a = alpha + a * (1.0 - alpha)
            if a > 0.0:
                pixels += bytes((round(r / a), round(g / a), round(b / a), round(a * 255)))
            else:
                pixels += bytes(4)
    return bytes(pixels)


def png(size, rgba):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    stride = size * 4
    raw = b"".join(b"\x00" + rgba[y * stride:(y + 1) * stride] for y in range(size))
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico(images):
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        side = 0 if size >= 256 else size  # 0 stands for 256 in the directory
        out += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", default=os.path.join(here, "quorvex_icon.ico"))
    parser.add_argument("--preview", help="also write the 256 px image as a PNG file")
    args = parser.parse_args()

    images = [(size, png(size, render(size))) for size in SIZES]
    with open(args.output, "wb") as f:
        f.write(ico(images))
    if args.preview:
        with open(args.preview, "wb") as f:
            f.write(images[-1][1])


if __name__ == "__main__":
    main()

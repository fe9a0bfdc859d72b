#!/usr/bin/env python3
"""Draws the Quorvex Updater icon and writes quorvex_icon.ico.

The shapes are signed distance functions in a unit square, so every size is
rendered from the same geometry with one-pixel anti-aliased edges. Only the
standard library is used; each ICO entry is a PNG image.

    python3 make_icon.py [--preview preview.png]
"""
import math
import os
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 64, 256)

ORANGE = (0xFF, 0x8A, 0x00)
LIGHT_ORANGE = (0xFF, 0xC4, 0x5A)
GREEN = (0x19, 0xD0, 0x78)
CARD_TOP = (0x1C, 0x27, 0x34)
CARD_BOTTOM = (0x09, 0x10, 0x18)
CARD_EDGE = (0x74, 0xC9, 0xFF)

# Ring: a clockwise arc with a gap at the top and an arrowhead at its end.
RING_RADIUS = 0.285
RING_WIDTH = 0.085
ARC_START = math.radians(55.0)
ARC_SWEEP = math.radians(275.0)


def lerp(a, b, t):
    return tuple(x + (y - x) * t for x, y in zip(a, b))


def rounded_square(px, py, inset, radius):
    # Distance to a square [inset, 1-inset]^2 with rounded corners.
    half = 0.5 - inset
    qx = abs(px - 0.5) - (half - radius)
    qy = abs(py - 0.5) - (half - radius)
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - radius


def segment(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = min(max(t, 0.0), 1.0)
    return math.hypot(px - ax - dx * t, py - ay - dy * t)


def polygon(px, py, points):
    # Distance to a simple polygon, negative inside (even-odd rule).
    best = float("inf")
    inside = False
    n = len(points)
    for i in range(n):
        ax, ay = points[i]
        bx, by = points[(i + 1) % n]
        best = min(best, segment(px, py, ax, ay, bx, by))
        if (ay > py) != (by > py):
            cross_x = ax + (py - ay) * (bx - ax) / (by - ay)
            if px < cross_x:
                inside = not inside
    return -best if inside else best


def arc_point(angle, radius=RING_RADIUS):
    # Angles grow counter-clockwise on screen; y points down.
    return 0.5 + radius * math.cos(angle), 0.5 - radius * math.sin(angle)


def arc(px, py):
    """Distance to the ring arc with a round cap at its start, and the position along it."""
    angle = math.atan2(0.5 - py, px - 0.5)
    travelled = (ARC_START - angle) % (2.0 * math.pi)  # clockwise from the start
    if travelled <= ARC_SWEEP:
        distance = abs(math.hypot(px - 0.5, py - 0.5) - RING_RADIUS) - RING_WIDTH / 2
        return distance, travelled / ARC_SWEEP
    sx, sy = arc_point(ARC_START)
    ex, ey = arc_point(ARC_START - ARC_SWEEP)
    to_start = math.hypot(px - sx, py - sy) - RING_WIDTH / 2
    to_end = math.hypot(px - ex, py - ey) - RING_WIDTH / 2
    return (to_start, 0.0) if to_start < to_end else (to_end + 1.0, 1.0)


def arrowhead():
    end = ARC_START - ARC_SWEEP
    ex, ey = arc_point(end)
    # Clockwise tangent on screen, and the outward normal.
    tx, ty = math.sin(end), math.cos(end)
    nx, ny = math.cos(end), -math.sin(end)
    half_base, length = 0.115, 0.14
    return [
        (ex + nx * half_base - tx * 0.02, ey + ny * half_base - ty * 0.02),
        (ex + tx * length, ey + ty * length),
        (ex - nx * half_base - tx * 0.02, ey - ny * half_base - ty * 0.02),
    ]


ARROWHEAD = arrowhead()
# A green download arrow in the middle of the ring.
SHAFT = [(0.462, 0.335), (0.538, 0.335), (0.538, 0.52), (0.462, 0.52)]
HEAD = [(0.375, 0.495), (0.625, 0.495), (0.5, 0.64)]


def coverage(distance, size):
    return min(max(0.5 - distance * size, 0.0), 1.0)


def over(dst, color, alpha):
    # Straight-alpha "source over destination".
    r, g, b, a = dst
    out_a = alpha + a * (1.0 - alpha)
    if out_a <= 0.0:
        return (0.0, 0.0, 0.0, 0.0)
    mix = tuple((c * alpha + d * a * (1.0 - alpha)) / out_a for c, d in zip(color, (r, g, b)))
    return mix + (out_a,)


def render(size):
    rows = []
    for y in range(size):
        row = bytearray()
        for x in range(size):
            px, py = (x + 0.5) / size, (y + 0.5) / size
            pixel = (0.0, 0.0, 0.0, 0.0)

            card = rounded_square(px, py, 0.03, 0.2)
            card_color = lerp(CARD_TOP, CARD_BOTTOM, min(max((px + py) / 2.0, 0.0), 1.0))
            pixel = over(pixel, card_color, coverage(card, size))
            edge = abs(card + 0.012) - 0.008
            pixel = over(pixel, CARD_EDGE, 0.35 * coverage(edge, size) * coverage(card, size))

            ring, along = arc(px, py)
            pixel = over(pixel, lerp(ORANGE, LIGHT_ORANGE, along), coverage(ring, size))
            pixel = over(pixel, LIGHT_ORANGE, coverage(polygon(px, py, ARROWHEAD), size))

            arrow = min(polygon(px, py, SHAFT), polygon(px, py, HEAD))
            pixel = over(pixel, GREEN, coverage(arrow, size))

            r, g, b, a = pixel
            row += bytes((round(r), round(g), round(b), round(a * 255.0)))
        rows.append(bytes(row))
    return rows


def png(size, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = b"".join(b"\x00" + row for row in rows)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico(images):
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, blobs = b"", b""
    for size, data in images:
        dimension = 0 if size >= 256 else size
        entries += struct.pack("<BBBBHHII", dimension, dimension, 0, 0, 1, 32, len(data), offset)
        blobs += data
        offset += len(data)
    return directory + entries + blobs


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    images = [(size, png(size, render(size))) for size in SIZES]
    with open(os.path.join(here, "quorvex_icon.ico"), "wb") as out:
        out.write(ico(images))
    if len(argv) == 3 and argv[1] == "--preview":
        with open(argv[2], "wb") as out:
            out.write(images[-1][1])
    elif len(argv) != 1:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

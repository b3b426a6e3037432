#!/usr/bin/env python3
"""Draws the program icon (a database squeezed from both sides) into orvelle.ico.

Run it again after changing the drawing: python3 src/app/make_icon.py
The icon holds 16, 24, 32, 48 and 64 pixel images as 32-bit bitmaps with alpha.
"""
import os
import struct

BACKGROUND = (0x1F, 0x5F, 0x7A)
BODY = (0xF2, 0xF5, 0xF7)
TOP = (0xC9, 0xDF, 0xE9)
BAND = (0x8F, 0xAF, 0xBF)
ARROW = (0xF2, 0xA9, 0x1B)


def in_rounded_square(x, y, lo=0.03, hi=0.97, r=0.18):
    if x < lo or x > hi or y < lo or y > hi:
        return False
    cx = min(max(x, lo + r), hi - r)
    cy = min(max(y, lo + r), hi - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def in_ellipse(x, y, cx, cy, rx, ry):
    return ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1.0


def in_arrow(x, y, left):
    # A triangle pointing at the cylinder, centred on its middle.
    tip, base, half = (0.27, 0.06, 0.13) if left else (0.73, 0.94, 0.13)
    t = (x - base) / (tip - base)
    return 0.0 <= t <= 1.0 and abs(y - 0.53) <= half * (1.0 - t)


def colour(x, y):
    """The colour at (x, y) in the unit square, or None where the icon is transparent."""
    if not in_rounded_square(x, y):
        return None
    cx, rx, ry, top, bottom = 0.5, 0.22, 0.075, 0.30, 0.76
    if in_arrow(x, y, True) or in_arrow(x, y, False):
        return ARROW
    if in_ellipse(x, y, cx, top, rx, ry):
        return TOP
    inside_body = abs(x - cx) <= rx and top <= y <= bottom
    if inside_body or in_ellipse(x, y, cx, bottom, rx, ry):
        for band in (0.45, 0.60):
            # The lower rim of an ellipse through the body marks a ring of the drum.
            if abs(x - cx) <= rx:
                rim = band + ry * (1.0 - ((x - cx) / rx) ** 2) ** 0.5
                if abs(y - rim) <= 0.022:
                    return BAND
        return BODY
    return BACKGROUND


def render(size, samples=4):
    """Rows top to bottom of (r, g, b, a), averaged over samples x samples points."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(samples):
                for sx in range(samples):
                    c = colour((px + (sx + 0.5) / samples) / size, (py + (sy + 0.5) / samples) / size)
                    if c is not None:
                        acc[0] += c[0]
                        acc[1] += c[1]
                        acc[2] += c[2]
                        acc[3] += 1
            n = samples * samples
            if acc[3] == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((acc[0] // acc[3], acc[1] // acc[3], acc[2] // acc[3], 255 * acc[3] // n))
        rows.append(row)
    return rows


def bitmap(size):
    rows = render(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_row = ((size + 31) // 32) * 4
    return header + pixels + bytes(mask_row * size)


def main():
    sizes = [16, 24, 32, 48, 64]
    images = [bitmap(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "orvelle.ico")
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()

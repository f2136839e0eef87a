#!/usr/bin/env python3
"""Draws the installer's application icon and writes it as a Windows .ico file.

The picture: a white arrow pointing down into a white tray, on a rounded square
with a vertical blue gradient. The file holds twelve images, 256, 64, 48, 32, 24
and 16 pixels square, each once at 8 bits per pixel (256-colour palette) and once
at 24 bits per pixel, all stored as uncompressed DIBs (BITMAPINFOHEADER, XOR
bitmap, AND mask), never PNG.

The output depends on nothing but this file: the same script always writes the
same bytes (no time stamps, no randomness, integer arithmetic where it matters).

Usage: make_icon.py OUTPUT.ico
"""

import os
import struct
import sys

SIZES = (256, 64, 48, 32, 24, 16)
DEPTHS = (8, 24)

# Colours (R, G, B). The gradient runs from the top of the square to its bottom.
GRADIENT_TOP = (66, 146, 250)
GRADIENT_BOTTOM = (18, 78, 186)
FOREGROUND = (255, 255, 255)

# The 8-bit palette: entry 0 is black (what a transparent pixel holds under its
# AND mask), then GRADIENT_STEPS background shades, each mixed with the
# foreground in MIX_STEPS steps: 1 + 15 * 17 = 256 entries.
GRADIENT_STEPS = 15
MIX_STEPS = 17

# Geometry in units of the icon's side (0..1, y grows downwards).
CORNER_RADIUS = 0.21
SHAFT = (0.415, 0.585, 0.14, 0.47)        # x0, x1, y0, y1
HEAD = ((0.22, 0.43), (0.78, 0.43), (0.5, 0.69))  # left, right, tip
TRAY_BOTTOM = (0.17, 0.83, 0.75, 0.85)    # x0, x1, y0, y1
TRAY_LEFT = (0.17, 0.28, 0.57, 0.85)
TRAY_RIGHT = (0.72, 0.83, 0.57, 0.85)


def margin_pixels(size):
    """Transparent border around the rounded square, in whole pixels."""
    return (size + 16) // 32 if size >= 24 else 0


def in_rounded_square(x, y, lo, hi, radius):
    if x < lo or x > hi or y < lo or y > hi:
        return False
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius


def in_box(x, y, box):
    x0, x1, y0, y1 = box
    return x0 <= x <= x1 and y0 <= y <= y1


def snapped(box, size):
    """The box with its edges moved to whole pixels, so that the bars of the
    small images come out sharp instead of smeared over two pixels."""
    if size > 48:
        return box
    return tuple(int(v * size + 0.5) / size for v in box)


def in_head(x, y):
    (lx, ly), (rx, _), (tx, ty) = HEAD
    if y < ly or y > ty:
        return False
    half = (rx - lx) / 2 * (ty - y) / (ty - ly)
    return abs(x - tx) <= half


def in_foreground(x, y, boxes):
    return in_head(x, y) or any(in_box(x, y, box) for box in boxes)


def render(size):
    """Coverage of each pixel, row by row from the top.

    Returns a list of rows of (opaque, t, mix): opaque tells whether the pixel
    belongs to the icon (at least half covered by the rounded square), t is the
    gradient position 0..1 of its centre inside the square, mix the share 0..1 of
    its covered samples that lie in the foreground.
    """
    samples = 4 if size > 64 else 8
    margin = margin_pixels(size) / size
    lo, hi = margin, 1.0 - margin
    radius = CORNER_RADIUS * (hi - lo)
    boxes = [snapped(box, size) for box in (SHAFT, TRAY_BOTTOM, TRAY_LEFT, TRAY_RIGHT)]
    offsets = [(i + 0.5) / samples for i in range(samples)]
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            inside = front = 0
            for oy in offsets:
                y = (py + oy) / size
                for ox in offsets:
                    x = (px + ox) / size
                    if in_rounded_square(x, y, lo, hi, radius):
                        inside += 1
                        if in_foreground(x, y, boxes):
                            front += 1
            opaque = 2 * inside >= samples * samples
            t = min(max(((py + 0.5) / size - lo) / (hi - lo), 0.0), 1.0)
            mix = front / inside if inside else 0.0
            row.append((opaque, t, mix))
        rows.append(row)
    return rows


def lerp(a, b, t):
    return tuple(int(round(p + (q - p) * t)) for p, q in zip(a, b))


def palette():
    entries = [(0, 0, 0)]
    for g in range(GRADIENT_STEPS):
        background = lerp(GRADIENT_TOP, GRADIENT_BOTTOM, g / (GRADIENT_STEPS - 1))
        for m in range(MIX_STEPS):
            entries.append(lerp(background, FOREGROUND, m / (MIX_STEPS - 1)))
    assert len(entries) == 256
    return entries


def palette_index(t, mix):
    g = int(round(t * (GRADIENT_STEPS - 1)))
    m = int(round(mix * (MIX_STEPS - 1)))
    return 1 + g * MIX_STEPS + m


def row_stride(bits_per_row):
    return (bits_per_row + 31) // 32 * 4


def dib(size, depth, pixels):
    """One icon image: BITMAPINFOHEADER, palette (8 bpp), XOR bitmap, AND mask."""
    xor_stride = row_stride(size * depth)
    and_stride = row_stride(size)
    colours = 256 if depth == 8 else 0
    image_bytes = (xor_stride + and_stride) * size
    out = bytearray(struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, depth, 0,
                                image_bytes, 0, 0, colours, 0))
    if depth == 8:
        for r, g, b in palette():
            out += bytes((b, g, r, 0))
    # Both bitmaps are stored bottom-up.
    for row in reversed(pixels):
        line = bytearray()
        for opaque, t, mix in row:
            if depth == 8:
                line.append(palette_index(t, mix) if opaque else 0)
            else:
                if opaque:
                    background = lerp(GRADIENT_TOP, GRADIENT_BOTTOM, t)
                    r, g, b = lerp(background, FOREGROUND, mix)
                else:
                    r = g = b = 0
                line += bytes((b, g, r))
        out += line + bytes(xor_stride - len(line))
    for row in reversed(pixels):
        line = bytearray(and_stride)
        for px, (opaque, _, _) in enumerate(row):
            if not opaque:
                line[px // 8] |= 0x80 >> (px % 8)
        out += line
    return bytes(out)


def icon_file():
    images = []
    for size in SIZES:
        pixels = render(size)
        for depth in DEPTHS:
            images.append((size, depth, dib(size, depth, pixels)))
    header = struct.pack('<HHH', 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    entries = b''
    for size, depth, data in images:
        side = size % 256  # 0 stands for 256
        entries += struct.pack('<BBBBHHII', side, side, 0, 0, 1, depth, len(data), offset)
        offset += len(data)
    return header + entries + b''.join(data for _, _, data in images)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write('usage: make_icon.py OUTPUT.ico\n')
        return 2
    data = icon_file()
    target = argv[1]
    temporary = target + '.tmp'
    with open(temporary, 'wb') as f:
        f.write(data)
    os.replace(temporary, target)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))

#!/usr/bin/env python3
"""Draws the updater's icon, a pedal with an up-arrow on it, and writes it as a Windows .ico
holding 48, 32 and 16 pixel images at 4, 8 and 24 bits per pixel. Standard library only."""
import argparse
import struct

SIZES = (48, 32, 16)
DEPTHS = (4, 8, 24)

# The 16 colours of the standard 4-bit palette.
VGA16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]

OUTLINE = (0, 0, 0)
BODY = (32, 64, 160)
KNOB = (192, 192, 192)
SWITCH = (224, 224, 224)
ARROW = (255, 208, 0)
LED = (255, 0, 0)


def inside_rounded_rect(x, y, left, top, right, bottom, radius):
    if not (left <= x <= right and top <= y <= bottom):
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def inside_circle(x, y, cx, cy, r):
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def inside_arrow(x, y):
    # Head: a triangle with its tip at the top; shaft: a bar below it.
    top, base, half = 0.27, 0.50, 0.24
    if top <= y <= base:
        spread = half * (y - top) / (base - top)
        if abs(x - 0.5) <= spread:
            return True
    return 0.42 <= x <= 0.58 and base <= y <= 0.66


def colour_at(x, y, px):
    """The colour at a point in unit coordinates, or None where the icon is transparent."""
    if not inside_rounded_rect(x, y, 0.14, 0.03, 0.86, 0.97, 0.10):
        return None
    edge = max(0.03, 1.0 / px)
    if not inside_rounded_rect(x, y, 0.14 + edge, 0.03 + edge, 0.86 - edge, 0.97 - edge, 0.10):
        return OUTLINE
    for kx in (0.33, 0.67):
        if inside_circle(x, y, kx, 0.15, 0.075):
            return KNOB
    if inside_circle(x, y, 0.5, 0.81, 0.11):
        return OUTLINE if not inside_circle(x, y, 0.5, 0.81, 0.11 - edge) else SWITCH
    if px >= 32 and inside_circle(x, y, 0.5, 0.15, 0.035):
        return LED
    if inside_arrow(x, y):
        return ARROW
    return BODY


def render(px):
    """Rows top to bottom of colours (None: transparent), sampled at pixel centres."""
    return [[colour_at((i + 0.5) / px, (j + 0.5) / px, px) for i in range(px)]
            for j in range(px)]


def palette_for(depth):
    if depth == 4:
        return VGA16
    # 8 bits: the 16 standard colours, a 6x6x6 cube and a grey ramp.
    pal = list(VGA16)
    steps = (0, 51, 102, 153, 204, 255)
    pal += [(r, g, b) for r in steps for g in steps for b in steps]
    pal += [(v, v, v) for v in range(8, 248, 10)][:256 - len(pal)]
    pal += [(0, 0, 0)] * (256 - len(pal))
    return pal


def nearest(pal, colour):
    return min(range(len(pal)),
               key=lambda k: sum((a - b) ** 2 for a, b in zip(pal[k], colour)))


def row_bytes(bits_per_row):
    return ((bits_per_row + 31) // 32) * 4


def image_entry(px, depth):
    rows = render(px)
    pal = palette_for(depth) if depth <= 8 else []
    xor = bytearray()
    for row in reversed(rows):  # bottom-up
        line = bytearray()
        if depth == 24:
            for c in row:
                r, g, b = c if c else (0, 0, 0)
                line += bytes((b, g, r))
        else:
            idx = [nearest(pal, c) if c else 0 for c in row]
            if depth == 8:
                line += bytes(idx)
            else:
                for i in range(0, px, 2):
                    hi = idx[i]
                    lo = idx[i + 1] if i + 1 < px else 0
                    line.append((hi << 4) | lo)
        line += b"\0" * (row_bytes(px * depth) - len(line))
        xor += line
    mask = bytearray()
    for row in reversed(rows):
        bits = 0
        line = bytearray()
        for i, c in enumerate(row):
            bits = (bits << 1) | (1 if c is None else 0)
            if i % 8 == 7:
                line.append(bits)
                bits = 0
        if px % 8:
            line.append(bits << (8 - px % 8))
        line += b"\0" * (row_bytes(px) - len(line))
        mask += line
    header = struct.pack("<IiiHHIIiiII", 40, px, px * 2, 1, depth, 0, len(xor) + len(mask),
                         0, 0, 0, 0)
    colours = b"".join(bytes((b, g, r, 0)) for r, g, b in pal)
    return header + colours + bytes(xor) + bytes(mask)


def make_icon():
    entries = [(px, depth, image_entry(px, depth)) for px in SIZES for depth in DEPTHS]
    out = bytearray(struct.pack("<HHH", 0, 1, len(entries)))
    offset = 6 + 16 * len(entries)
    for px, depth, data in entries:
        colour_count = 16 if depth == 4 else 0
        out += struct.pack("<BBBBHHII", px, px, colour_count, 0, 1, depth, len(data), offset)
        offset += len(data)
    for _, _, data in entries:
        out += data
    return bytes(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("output", help="the .ico file to write")
    args = parser.parse_args()
    with open(args.output, "wb") as f:
        f.write(make_icon())


if __name__ == "__main__":
    main()

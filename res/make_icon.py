#!/usr/bin/env python3
"""Draws the updater's icon and writes it as a Windows .ico file.

usage: make_icon.py OUTPUT.ico

One icon with a 32x32 and a 16x16 image, both 16 colours (4 bits per pixel)
in the standard Windows palette: a green arrow pointing down into a grey
tray. The drawing is done in unit coordinates and sampled at each pixel's
centre, so both sizes come from the same shapes. The output depends on
nothing but this script, so every build makes the same bytes.
"""

import struct
import sys

# The 16 colours of the standard VGA palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, GREEN, SILVER, GREY, LIME, WHITE = 0, 2, 7, 8, 10, 15


def in_tray(x, y):
    return 0.08 <= x <= 0.92 and 0.60 <= y <= 0.92


def in_tray_hollow(x, y):
    # The open top of the tray, where the arrow goes in.
    return 0.20 <= x <= 0.80 and 0.60 <= y <= 0.76


def in_arrow(x, y):
    if 0.38 <= x <= 0.62 and 0.06 <= y <= 0.46:
        return True
    # The head: a triangle from y = 0.40 (full width) down to its tip.
    top, tip, half = 0.40, 0.78, 0.32
    if top <= y <= tip:
        return abs(x - 0.5) <= half * (tip - y) / (tip - top)
    return False


def shape_at(size, px, py):
    """Which shape covers pixel (px, py): 'arrow', 'tray' or None."""
    if not (0 <= px < size and 0 <= py < size):
        return None
    x, y = (px + 0.5) / size, (py + 0.5) / size
    if in_arrow(x, y):
        return "arrow"
    if in_tray(x, y) and not in_tray_hollow(x, y):
        return "tray"
    return None


def draw(size):
    """Rows of palette indices, top row first; None is transparent."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            shape = shape_at(size, px, py)
            edge = shape is not None and any(
                shape_at(size, px + dx, py + dy) != shape
                for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)))
            if shape == "arrow":
                row.append(GREEN if edge else LIME)
            elif shape == "tray":
                row.append(BLACK if edge else (WHITE if py * 2 < size * 1.5 else SILVER))
            else:
                row.append(None)
        rows.append(row)
    # A shadow under the tray's right and bottom edges gives it some depth.
    for py in range(size):
        for px in range(size):
            if rows[py][px] is None and px > 0 and py > 0 and \
                    shape_at(size, px - 1, py - 1) == "tray" and shape_at(size, px, py) is None \
                    and (shape_at(size, px - 1, py) is None or shape_at(size, px, py - 1) is None):
                rows[py][px] = GREY
    return rows


def padded(data):
    return data + b"\0" * (-len(data) % 4)


def dib(rows):
    """The image as the icon format stores it: a BITMAPINFOHEADER of twice
    the height, the palette, the colour bits and the transparency mask, both
    bottom row first, each row padded to 4 bytes."""
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in PALETTE)
    xor = b""
    mask = b""
    for row in reversed(rows):
        colour = [0 if c is None else c for c in row]
        xor += padded(bytes((colour[i] << 4) | colour[i + 1] for i in range(0, size, 2)))
        bits = 0
        line = b""
        for i, c in enumerate(row):
            bits = (bits << 1) | (1 if c is None else 0)
            if i % 8 == 7:
                line += bytes([bits])
                bits = 0
        mask += padded(line)
    return header + palette + xor + mask


def ico(images):
    """An .ico file: the directory, then each image."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b""
    for size, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
        body += data
    return out + body


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__.strip().splitlines()[2])
    images = [(size, dib(draw(size))) for size in (32, 16)]
    with open(sys.argv[1], "wb") as f:
        f.write(ico(images))


if __name__ == "__main__":
    main()

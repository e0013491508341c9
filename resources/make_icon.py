#!/usr/bin/env python3
"""Draws the icon of NIVOR.EXE: a terminal whose screen shows an echo going
out. Writes one 32 x 32 image in 16 colours as an .ico file.

Usage: make_icon.py OUTPUT.ico
"""

import math
import struct
import sys

SIZE = 32
TRANSPARENT = None

# The 16 colours every 4-bit display has, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, GREEN, SILVER, GRAY, LIME, WHITE = 0, 2, 7, 8, 10, 15

# The screen, in icon coordinates (x to the right, y downwards, inclusive).
SCREEN_LEFT, SCREEN_TOP, SCREEN_RIGHT, SCREEN_BOTTOM = 4, 4, 27, 21
SOURCE_X, SOURCE_Y = 7.5, 12.5
WAVE_RADII = (5, 10, 15)


def inside(x, y, left, top, right, bottom):
    return left <= x <= right and top <= y <= bottom


def screen_pixel(x, y):
    distance = math.hypot(x - SOURCE_X, y - SOURCE_Y)
    if distance < 1.5:
        return WHITE
    if x > SOURCE_X and any(abs(distance - radius) < 0.75 for radius in WAVE_RADII):
        return LIME if abs(y - SOURCE_Y) < 6 else GREEN
    return BLACK


def pixel(x, y):
    """The palette index at (x, y), or TRANSPARENT."""
    if inside(x, y, SCREEN_LEFT, SCREEN_TOP, SCREEN_RIGHT, SCREEN_BOTTOM):
        return screen_pixel(x, y)
    if inside(x, y, 3, 3, 28, 22):
        return SILVER
    if inside(x, y, 2, 2, 29, 23):
        return GRAY
    if inside(x, y, 13, 24, 18, 25):
        return GRAY
    if inside(x, y, 9, 26, 22, 26):
        return SILVER
    if inside(x, y, 9, 27, 22, 27):
        return GRAY
    return TRANSPARENT


def image_rows():
    """Rows of palette indices (TRANSPARENT included), bottom row first as
    bitmaps store them."""
    return [[pixel(x, y) for x in range(SIZE)] for y in reversed(range(SIZE))]


def colour_bits(rows):
    data = bytearray()
    for row in rows:
        indices = [BLACK if index is TRANSPARENT else index for index in row]
        for left, right in zip(indices[0::2], indices[1::2]):
            data.append(left << 4 | right)
    return bytes(data)


def mask_bits(rows):
    """One bit a pixel, set where the picture is transparent; rows padded to
    four bytes."""
    data = bytearray()
    for row in rows:
        bits = 0
        for index in row:
            bits = bits << 1 | (index is TRANSPARENT)
        data += struct.pack(">I", bits)
    return bytes(data)


def icon_file():
    rows = image_rows()
    palette = b"".join(struct.pack("<BBBB", blue, green, red, 0) for red, green, blue in PALETTE)
    colours, mask = colour_bits(rows), mask_bits(rows)
    # The height counts the colour image and the mask together.
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, 4, 0, len(colours) + len(mask), 0, 0, 0, 0)
    image = header + palette + colours + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry_offset = len(directory) + 16
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, len(PALETTE), 0, 1, 4, len(image), entry_offset)
    return directory + entry + image


def main(arguments):
    if len(arguments) != 2:
        sys.exit(__doc__.strip().splitlines()[-1])
    with open(arguments[1], "wb") as output:
        output.write(icon_file())


if __name__ == "__main__":
    main(sys.argv)

#!/usr/bin/env python3
"""Writes the program's icon: a 32 x 32 and a 16 x 16 image of 16 colours, drawn below as text.

Usage: make_icon.py OUTPUT.ico
"""
import struct
import sys

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
    (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
    (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
# One character a colour; '.' is transparent.
COLOURS = {'k': 0, 'n': 4, 'b': 12, 'c': 14, 's': 7, 'g': 8, 'w': 15, 'G': 10, 'y': 11, 'd': 2}

# A USB key seen from above: the silver connector on the left, the blue body with its light
# edge, a green lamp, and a white arrow that stands for "boot".
LARGE = """
................................
................................
................................
................................
................................
................................
................................
................................
ggggggggg.......................
gsssssssgkkkkkkkkkkkkkkkkkkkkkk.
gswwswwsgkcccccccccccccccccccck.
gsssssssgkbbbbbbbbbbbbbbbbbbbbnk
gsssssssgkbbbbbbbwwbbbbbbbbbbbnk
gsssssssgkbbbbbbbwwwbbbbbbbbbbnk
gsssssssgkbbbwwwwwwwwbbbbbGGbbnk
gsssssssgkbbbwwwwwwwwwbbbGddGbnk
gsssssssgkbbbwwwwwwwwwbbbGddGbnk
gsssssssgkbbbwwwwwwwwbbbbbGGbbnk
gsssssssgkbbbbbbbwwwbbbbbbbbbbnk
gsssssssgkbbbbbbbwwbbbbbbbbbbbnk
gsssssssgkbbbbbbbbbbbbbbbbbbbbnk
gswwswwsgknnnnnnnnnnnnnnnnnnnnnk
gsssssssgkkkkkkkkkkkkkkkkkkkkkk.
ggggggggg.......................
................................
................................
................................
................................
................................
................................
................................
................................
"""

SMALL = """
................
................
................
................
gggggkkkkkkkkkk.
gswsgkcccccccck.
gsssgkbbbwbbbbnk
gsssgkbwwwwbGbnk
gsssgkbwwwwbGbnk
gsssgkbbbwbbbbnk
gswsgknnnnnnnnnk
gggggkkkkkkkkkk.
................
................
................
................
"""


def image(art, size):
    rows = [line for line in art.strip("\n").split("\n")]
    assert len(rows) == size and all(len(r) == size for r in rows), "the drawing must be square"
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    colour_row = (size * 4 + 31) // 32 * 4
    mask_row = (size + 31) // 32 * 4
    colour = b""
    mask = b""
    for row in reversed(rows):  # bitmaps are stored bottom-up
        line = bytearray(colour_row)
        bits = bytearray(mask_row)
        for x, ch in enumerate(row):
            index = COLOURS.get(ch, 0)
            line[x // 2] |= index << (4 if x % 2 == 0 else 0)
            if ch == ".":
                bits[x // 8] |= 0x80 >> (x % 8)
        colour += bytes(line)
        mask += bytes(bits)
    return header + palette + colour + mask


def main():
    images = [(32, image(LARGE, 32)), (16, image(SMALL, 16))]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, data in images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()

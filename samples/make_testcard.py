#!/usr/bin/env python3
"""Draws samples/testcard.rix: a 640 x 480 ColorRIX test card.

A grid on a dark ground, a strip of all 256 palette entries, an arrow that
points up and the word TOP at the top edge, so a viewer shows at once
whether the picture is upright and whether any palette entry went astray.
Run it from anywhere; it writes the file beside itself.
"""
import os
import struct

WIDTH, HEIGHT = 640, 480

FONT = {  # 5 x 7 letters, one string per row
    "T": ["#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."],
    "O": [".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    "P": ["####.", "#...#", "#...#", "####.", "#....", "#....", "#...."],
}


def palette():
    """256 entries of 6-bit red, green, blue: a few fixed colours, then ramps."""
    fixed = [(0, 0, 0), (63, 63, 63), (63, 0, 0), (0, 63, 0), (0, 0, 63),
             (63, 63, 0), (0, 63, 63), (63, 0, 63), (8, 8, 12), (20, 20, 28)]
    entries = fixed + [(0, 0, 0)] * (16 - len(fixed))
    for i in range(16, 256):
        t = (i - 16) * 63 // 239
        ramp = (i - 16) % 4
        entries.append([(t, 0, 0), (0, t, 0), (0, 0, t), (t, t, t)][ramp])
    return entries


def draw():
    pixels = bytearray([8]) * (WIDTH * HEIGHT)  # dark ground

    def fill(x0, y0, x1, y1, index):
        for y in range(max(0, y0), min(HEIGHT, y1)):
            pixels[y * WIDTH + max(0, x0):y * WIDTH + min(WIDTH, x1)] = bytes([index]) * (min(WIDTH, x1) - max(0, x0))

    for x in range(0, WIDTH, 40):
        fill(x, 0, x + 1, HEIGHT, 9)
    for y in range(0, HEIGHT, 40):
        fill(0, y, WIDTH, y + 1, 9)
    fill(0, 0, WIDTH, 2, 1)  # white frame
    fill(0, HEIGHT - 2, WIDTH, HEIGHT, 1)
    fill(0, 0, 2, HEIGHT, 1)
    fill(WIDTH - 2, 0, WIDTH, HEIGHT, 1)
    for index in range(256):  # every palette entry, 2 pixels wide
        fill(64 + 2 * index, 400, 66 + 2 * index, 440, index)
    for row in range(100):  # arrow head, pointing up
        fill(320 - row, 120 + row, 320 + row + 1, 121 + row, 5)
    fill(290, 220, 351, 360, 5)  # arrow shaft
    for n, letter in enumerate("TOP"):
        for r, line in enumerate(FONT[letter]):
            for c, mark in enumerate(line):
                if mark == "#":
                    x, y = 250 + n * 48 + c * 7, 20 + r * 7
                    fill(x, y, x + 7, y + 7, 2)
    return bytes(pixels)


def main():
    header = b"RIX3" + struct.pack("<HHH", WIDTH, HEIGHT, 175)
    body = b"".join(bytes(entry) for entry in palette())
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "testcard.rix")
    with open(path, "wb") as out:
        out.write(header + body + draw())  # the first row stored is the top row


if __name__ == "__main__":
    main()

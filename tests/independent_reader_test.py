#!/usr/bin/env python3
"""Checks quorvel against an independent bitmap reader and writer (Pillow).

Pillow writes 8-bit bitmaps of several widths; quorvel turns each into a
ColorRIX and back, and Pillow must read the result with every pixel index
and palette entry kept (palette components lose their two low bits on the
way through 6 bits). Exits 77, which CTest counts as skipped, without Pillow.

    independent_reader_test.py path/to/quorvel
"""
import os
import subprocess
import sys
import tempfile

try:
    from PIL import Image
except ImportError:
    print("Pillow is not installed: skipped")
    sys.exit(77)


def run(quorvel, cwd, *names):
    result = subprocess.run([quorvel, *names], cwd=cwd, capture_output=True)
    expected = "".join(f"File created : {os.path.splitext(n)[0]}.{'rix' if n.endswith('bmp') else 'bmp'}\n" for n in names)
    assert result.stdout.decode() == expected, result.stdout


def check(quorvel, width, height, folder):
    picture = Image.new("P", (width, height))
    picture.putpalette([(i * 37 + c * 91) & 255 for i in range(256) for c in range(3)])
    picture.putdata([(x * 7 + y * 13) & 255 for y in range(height) for x in range(width)])
    picture.save(os.path.join(folder, "a.bmp"))
    run(quorvel, folder, "a.bmp")
    os.rename(os.path.join(folder, "a.rix"), os.path.join(folder, "b.rix"))
    run(quorvel, folder, "b.rix")
    back = Image.open(os.path.join(folder, "b.bmp"))
    assert back.mode == "P" and back.size == (width, height), (back.mode, back.size)
    assert list(back.getdata()) == list(picture.getdata()), f"pixels differ at {width}x{height}"
    assert back.getpalette()[:768] == [v & 0xFC for v in picture.getpalette()[:768]], "palette differs"


def main():
    quorvel = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory() as folder:
        for width, height in [(640, 480), (1, 1), (3, 5), (5, 3), (6, 2), (7, 7), (33, 17)]:
            check(quorvel, width, height, folder)
            print(f"{width}x{height}: Pillow wrote, quorvel converted there and back, Pillow read it back unchanged")


if __name__ == "__main__":
    main()

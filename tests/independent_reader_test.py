#!/usr/bin/env python3
"""Checks quorvel against an independent bitmap reader and writer, Pillow:
Pillow writes 8-bit bitmaps, quorvel turns each into a ColorRIX and back,
and Pillow must read every pixel index kept and every palette component
with its two low bits cleared. Exits 77 (skipped for CTest) without Pillow.

    independent_reader_test.py path/to/quorvel
"""
import os, subprocess, sys, tempfile

try:
    from PIL import Image
except ImportError:
    print("Pillow is not installed: skipped")
    sys.exit(77)

quorvel = os.path.abspath(sys.argv[1])
with tempfile.TemporaryDirectory() as folder:
    for width, height in [(640, 480), (1, 1), (3, 5), (5, 3), (6, 2), (33, 17)]:
        picture = Image.new("P", (width, height))
        picture.putpalette([(i * 37 + c * 91) & 255 for i in range(256) for c in range(3)])
        picture.putdata([(x * 7 + y * 13) & 255 for y in range(height) for x in range(width)])
        picture.save(os.path.join(folder, "a.bmp"))
        subprocess.run([quorvel, "a.bmp"], cwd=folder, check=True, stdout=subprocess.DEVNULL)
        os.replace(os.path.join(folder, "a.rix"), os.path.join(folder, "b.rix"))
        out = subprocess.run([quorvel, "b.rix"], cwd=folder, check=True, capture_output=True).stdout
        back = Image.open(os.path.join(folder, "b.bmp"))
        assert out == b"File created : b.bmp\n" and back.mode == "P" and back.size == (width, height)
        assert list(back.getdata()) == list(picture.getdata()), f"pixels differ at {width}x{height}"
        assert back.getpalette()[:768] == [v & 0xFC for v in picture.getpalette()[:768]], "palette differs"
        print(f"{width}x{height}: written by Pillow, converted both ways, read back unchanged by Pillow")

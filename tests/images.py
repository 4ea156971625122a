# Test images laid out byte by byte from the formats' descriptions, apart
# from the converter's own code: ColorRIX files, bitmaps of every depth,
# header kind and row order, and the file each must become.
from struct import pack

# Rows are made by shifting one base row through these tables: fast enough
# for pictures of millions of pixels.
_SHIFT = [bytes((i + c) & 255 for i in range(256)) for c in range(256)]
_HIGH_BITS = {bits: bytes(i >> (8 - bits) for i in range(256)) for bits in (1, 2, 4, 8)}


# Palette indices below 2 ** bits, top row first. Neighbouring rows always
# differ, so a misplaced row shows.
def pattern(width, height, bits=8):
    base = bytes((7 * x) & 255 for x in range(width))
    return [base.translate(_SHIFT[(31 * y + (y >> 3)) & 255]).translate(_HIGH_BITS[bits]) for y in range(height)]


# 6-bit entries, all distinct; the last holds stray bytes of 64 and more,
# which lose their top bits on the way to a bitmap (65 becomes 4).
RIX_PALETTE = [(i & 63, (i >> 2) & 63, 63 - (i & 63)) for i in range(255)] + [(65, 255, 128)]


# 8-bit entries in which every component value occurs in each channel.
def bitmap_palette(entries=256):
    return [(i, 255 - i, (3 * i) & 255) for i in range(entries)]


# A ColorRIX file; entries the palette lacks are black.
def rix(rows, width, palette=RIX_PALETTE, info=175):
    colours = bytes(c for entry in palette for c in entry).ljust(768, b"\0")
    return b"RIX3" + pack("<HHH", width, len(rows), info) + colours + b"".join(rows)


# Below 8 bits a byte holds 8 / bits pixels, the leftmost in its highest
# bits; the indices are taken as they are, so they must fit.
_MOVED = {shift: bytes((v << shift) & 255 for v in range(256)) for shift in range(8)}


def packed(row, bits):
    per = 8 // bits
    row += bytes(-len(row) % per)
    value = sum(int.from_bytes(row[i::per].translate(_MOVED[8 - bits * (i + 1)]), "big") for i in range(per))
    return value.to_bytes(len(row) // per, "big")


# A bitmap as the format lays it out: a header of `size` bytes (12 is
# a core header, whose planes of 2 mean 4-byte entries; 16 is OS/2's
# short one; 124 a V5), `bits` per pixel, rows padded to 4 bytes, bottom
# row first unless topdown.
def bitmap(rows, width, palette, size=40, planes=1, topdown=False, bits=8):
    height, stored = len(rows), (width * bits + 31) // 32 * 4
    entry = 3 if size == 12 and planes != 2 else 4
    offset = 14 + size + entry * len(palette)
    if size == 12:
        header = pack("<IHHHH", 12, width, height, planes, bits)
    else:
        header = pack("<IiiHHIIiiII", size, width, -height if topdown else height, 1, bits, 0,
                      stored * height, 2835, 2835, len(palette), 0)[:size].ljust(size, b"\0")
    colours = b"".join(bytes((b, g, r, 0)[:entry]) for r, g, b in palette)
    pixels = b"".join(packed(row, bits).ljust(stored, b"\0") for row in (rows if topdown else rows[::-1]))
    return b"BM" + pack("<IHHI", offset + len(pixels), 0, 0, offset) + header + colours + pixels


# What a ColorRIX must become: a core header, its entries widened in 8 bits.
def bitmap_of_rix(rows, width, palette=RIX_PALETTE):
    return bitmap(rows, width, [tuple((c << 2) & 255 for c in entry) for entry in palette], size=12)


# What a bitmap must become: its entries narrowed, those it lacks black.
def rix_of_bitmap(rows, width, palette, info=175):
    return rix(rows, width, [tuple(c >> 2 for c in entry) for entry in palette], info)

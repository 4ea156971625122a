# Test images laid out byte by byte from the formats' descriptions, apart
# from the converter's own code: ColorRIX files, bitmaps of every depth,
# header kind and row order, and the file each must become.
import itertools, re
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
    return b"RIX3" + pack("<HHH", width, len(rows), info) + bytes(c for entry in palette for c in entry).ljust(768, b"\0") + b"".join(rows)


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


# ColorRIX pixels laid out otherwise than a byte each: a plane line holds
# bit k of 8 pixels a byte, the leftmost in the highest bit. Planar lines
# (storage 4) give each row its four lines, plane 0 first; whole planes
# (2, and 1 with planes 1 and 2 swapped) one plane after another.
_BIT = [bytes((v >> k) & 1 for v in range(256)) for k in range(4)]
PLANE_ORDER = {2: (0, 1, 2, 3), 1: (0, 2, 1, 3)}


def plane_line(row, k):
    return packed(row.translate(_BIT[k]), 1)


# Each row as stored before any compression: a byte a pixel (0) or four plane lines (4).
def stored_rows(rows, layout):
    return [row if layout == 0 else b"".join(plane_line(row, k) for k in range(4)) for row in rows]


def stored_pixels(rows, layout):
    if layout in PLANE_ORDER:
        return b"".join(plane_line(row, k) for k in PLANE_ORDER[layout] for row in rows)
    return b"".join(stored_rows(rows, layout))


# A ColorRIX of 16 (palette type 0xAB) or 256 entries whose pixels take
# `storage`; `pixels` are what follows the palette.
def rix_file(width, height, palette, storage, pixels):
    colours = bytes(c for entry in palette for c in entry).ljust(48 if len(palette) == 16 else 768, b"\0")
    return b"RIX3" + pack("<HHBB", width, height, 0xAB if len(palette) == 16 else 0xAF, storage) + colours + pixels


# The compressed layout. Rows go into segments (`segments`: rows in each);
# a segment's stored bytes pass the XOR filter (a byte a pixel only), then
# run-length coding (0x00 and 0xFF escaped, with a count of one less than
# the run), then one code tree for the whole file.
def xor_filtered(stream):
    value = int.from_bytes(stream, "big")
    return (value ^ (value >> 8)).to_bytes(len(stream), "big")


_RUNS = re.compile(rb"\x00{1,256}|\xff{1,256}|[^\x00\xff]+")


def run_length(stream):
    out = []
    for match in _RUNS.finditer(stream):
        piece = match.group()
        out.append(piece if piece[0] not in (0, 255) else bytes((piece[0], len(piece) - 1)))
    return b"".join(out)


# A tree is a symbol (a leaf) or a pair (1-subtree, 0-subtree). This one
# codes every byte in its own 8 bits, the upper half of the symbols on the
# 1-branch at every level, so that the coded data are the symbols' bytes
# as they are. (Trees of every shape and code length are seeds of the fuzz
# corpus.)
def balanced_tree(symbols=tuple(range(256))):
    half = len(symbols) // 2
    return symbols[0] if half == 0 else (balanced_tree(symbols[half:]), balanced_tree(symbols[:half]))


def tree_items(tree):
    if isinstance(tree, int):
        return [0x1000 + tree]
    one, zero = tree_items(tree[0]), tree_items(tree[1])
    return [2 * len(one)] + one + zero


ITEMS = tree_items(balanced_tree())


# `segments`: the rows in each.
def compressed_pixels(rows, layout, segments):
    stored, out = stored_rows(rows, layout), [pack(f"<{len(ITEMS) + 1}H", len(ITEMS), *ITEMS)]
    for start, count in zip(itertools.accumulate([0, *segments]), segments):
        stream = b"".join(stored[start:start + count])
        data = run_length(xor_filtered(stream) if layout == 0 else stream)
        assert 0 < len(data) < 65536
        out += [pack("<H", len(data)), data]
    return b"".join(out)


# What a ColorRIX of any palette must become: 256 entries, the missing black.
def bitmap_of_any_rix(rows, width, palette):
    return bitmap_of_rix(rows, width, list(palette) + [(0, 0, 0)] * (256 - len(palette)))


# Run-length bitmaps (RLE8, RLE4): each stored row (the bottom first) is
# coded as runs of pixels that repeat (RLE8) or alternate (RLE4), 255 at
# most, then ended (0, 0); the stream ends with (0, 1).
def rle_row(row, bits):
    out, x, step = [], 0, 1 if bits == 8 else 2
    while x < len(row):
        most, n = min(255, len(row) - x), 1
        while n < most and (n < step or row[x + n] == row[x + n - step]):
            n += 1
        out.append(bytes((n, row[x] if bits == 8 else row[x] << 4 | (row[x + 1] if n > 1 else 0))))
        x += n
    return b"".join(out)


# The stream of a picture given top first, coded bottom first.
def rle_stream(rows, bits):
    return b"".join(rle_row(row, bits) + b"\0\0" for row in rows[::-1]) + b"\0\1"


# A run-length bitmap around `stream`: an info header of `size` bytes
# (64 is OS/2's, 124 a V5), `extra` bytes between the palette and the stream.
def rle_bitmap(stream, width, height, palette, bits, size=40, extra=0):
    offset = 14 + size + 4 * len(palette) + extra
    header = pack("<IiiHHIIiiII", size, width, height, 1, bits, 1 if bits == 8 else 2, len(stream), 2835, 2835,
                  len(palette), 0)[:size].ljust(size, b"\0")
    colours = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    return b"BM" + pack("<IHHI", offset + len(stream), 0, 0, offset) + header + colours + bytes(extra) + stream

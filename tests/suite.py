#!/usr/bin/env python3
# The converter tested from outside, as its users run it: each case is a
# row of a table, and a table is one run of the program over many files,
# whose messages and output files are then compared byte for byte.
#
#     suite.py [Class ...]        (unittest's own options apply)
#
# QUORVEL_PROGRAM names the program (default build/quorvel), QUORVEL_LAUNCHER
# what it runs through (wine, qemu-user), QUORVEL_SKIP the words of cases the
# build cannot hold ("memory" for a sanitized build). A Windows program
# (.exe) writes "\r\n" and is spared what Windows has no part of:
# symbolic links, FIFOs, devices and resource limits.
import hashlib, importlib.util, itertools, os, pathlib, random, resource, shlex, shutil, signal, subprocess, sys, tempfile, unittest
from struct import pack

try:
    from PIL import Image
except ImportError:
    Image = None

from images import (RIX_PALETTE, bitmap, bitmap_of_any_rix, bitmap_of_rix, bitmap_palette, compressed_pixels, pattern, rix,
                    rix_file, rix_of_bitmap, rle_bitmap, rle_stream, stored_pixels)

HERE = os.path.dirname(os.path.abspath(__file__))
PROGRAM = os.path.abspath(os.environ.get("QUORVEL_PROGRAM") or os.path.join(HERE, "..", "build", "quorvel"))
LAUNCHER = shlex.split(os.environ.get("QUORVEL_LAUNCHER", ""))
WINDOWS = PROGRAM.endswith(".exe")
SKIP = os.environ.get("QUORVEL_SKIP", "").split()
# wine takes the arguments' bytes in this locale's encoding.
ENVIRONMENT = dict(os.environ, LC_ALL="C.UTF-8", WINEDEBUG="-all")
posix_only = unittest.skipIf(WINDOWS, "Windows has no such files or limits")
# wine's server, and the services it starts for the first program it runs,
# would hold that program's output open for seconds after it ends: both are
# started here, with none of the suite's pipes, and kept going while it runs.
if WINDOWS and LAUNCHER:
    for command in [os.path.join(os.path.dirname(LAUNCHER[0]), "wineserver"), "-p10"], LAUNCHER + ["wineboot"]:
        subprocess.run(command, env=ENVIRONMENT, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def lines(text):
    return text.replace("\n", "\r\n") if WINDOWS else text


def created(*names):
    return "".join(f"File created : {name}\n" for name in names)


# A fresh folder the program runs in, removed afterwards.
class Folder:
    def __init__(self, case):
        self.path = tempfile.mkdtemp(prefix="quorvel-")
        case.addCleanup(shutil.rmtree, self.path, True)
        self.case = case

    def __truediv__(self, name):
        return os.path.join(self.path, name)

    def write(self, files):
        for name, data in files:
            pathlib.Path(self / name).parent.mkdir(parents=True, exist_ok=True)
            pathlib.Path(self / name).write_bytes(data)

    def read(self, name):
        return pathlib.Path(self / name).read_bytes()

    # The program's standard output and exit status. Anything on its
    # error stream fails the case: the program writes nothing there, so
    # it is a sanitizer's or the system's report (wine's own notes aside).
    def run(self, *arguments, limits=()):
        def limited():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails instead
            for which, value in limits:
                resource.setrlimit(which, (value, value))
        process = subprocess.run(LAUNCHER + [PROGRAM, *arguments], cwd=self.path, env=ENVIRONMENT, capture_output=True,
                                 stdin=subprocess.DEVNULL, preexec_fn=limited)
        if not WINDOWS:
            self.case.assertEqual(process.stderr, b"", "the error stream")
        return process.stdout.decode("utf-8", "surrogateescape"), process.returncode

    # Runs, and expects exactly these messages and status 0.
    def check(self, *arguments, expected, limits=()):
        self.case.assertEqual(self.run(*arguments, limits=limits), (lines(expected), 0))

    def check_files(self, expected):
        for name, data in expected:
            with self.case.subTest(name):
                self.case.assertTrue(self.read(name) == data, "differs from what it must be")


def output_of(name):
    return name[:-3] + ("bmp" if name[-3:].lower() == "rix" else "rix")


# rows of (input name, bytes, message or None for success, bytes the output
# must hold). Each output exists beforehand, longer than it must end.
def batch(case, rows):
    folder = Folder(case)
    folder.write((name, data) for name, data, _, _ in rows)
    folder.write((output_of(name), b"\xee" * (len(output) + 5)) for name, _, _, output in rows)
    folder.check(*(name for name, *_ in rows),
                 expected="".join(message % name if message else created(output_of(name))
                                  for name, _, message, _ in rows))
    folder.check_files((output_of(name), output) for name, _, _, output in rows)
    return folder


# Rows cross in bands of about 1 MiB, which 101 x 12000 (rows narrower
# than 512 bytes, copied in pieces) and 1001 x 1100 fill one and a bit
# times; 511 and 512 are either side of the pieces.
SIZES = [(0, 0), (0, 3), (5, 0), (1001, 0), (1, 1), (1, 5), (2, 3), (3, 2), (4, 1), (7, 5), (16, 3), (383, 2), (384, 3),
         (511, 3), (512, 2), (641, 3), (640, 480), (65535, 1), (101, 12000), (1001, 1100)]
KINDS = {"info": {}, "core": {"size": 12}, "quads": {"size": 12, "planes": 2}, "os2": {"size": 16},
         "v5": {"size": 124}, "topdown": {"topdown": True}, "16": {"entries": 16}, "1core": {"size": 12, "entries": 1},
         "4bit": {"bits": 4, "entries": 16}, "4core": {"bits": 4, "entries": 16, "size": 12},
         "2bit": {"bits": 2, "entries": 4}, "1bit": {"bits": 1, "entries": 2},
         "1topdown": {"bits": 1, "entries": 2, "topdown": True}, "4bit-3-entries": {"bits": 4, "entries": 3}}


def valid_images():
    def kind(name, width, height, entries=256, bits=8, **layout):
        palette, rows = bitmap_palette(entries), pattern(width, height, bits)
        return name, bitmap(rows, width, palette, bits=bits, **layout), None, rix_of_bitmap(rows, width, palette)
    for width, height in SIZES:
        rows = pattern(width, height)
        yield f"{width}x{height}.rix", rix(rows, width), None, bitmap_of_rix(rows, width)
        yield from (kind(f"{width}x{height}-{name}.bmp", width, height, **layout) for name, layout in KINDS.items())
    # the tallest a ColorRIX holds, both row orders
    yield from (kind(f"1x65535-{name}.bmp", 1, 65535, topdown=name == "topdown") for name in ("info", "topdown"))


def patched(data, offset, value):
    return data[:offset] + value + data[offset + len(value):]


RIX = rix(pattern(9, 7), 9)
INFO = bitmap(pattern(6, 3), 6, bitmap_palette())  # pixels at 1078
CORE = bitmap(pattern(6, 3), 6, bitmap_palette(), size=12)  # pixels at 794
NO_SIGNATURE = "Cannot read RIX3 signature! File : %s\n"
NO_RIX = "Cannot read RIX into buffer! File : %s\n"
NO_BITMAP = "Cannot read BMP signature, file : %s\n"
NO_INFO = "Cannot read bitmap info header, file %s\n"
COMPRESSED = "Compressed bitmap. Can't convert. File : %s"  # ends without a line break, as it always has
INVALID = "File %s is not a valid 256-color bitmap file.\n"
NO_PALETTE = "Can't read palette from a bitmap file : %s\n"
NO_PIXELS = "Can't read raw data from a bitmap file : %s\n"
MALFORMED = [
    ("r-three-bytes.rix", RIX[:3], NO_SIGNATURE),
    ("r-lower-case.rix", patched(RIX, 0, b"r"), "Not a ColorRIX Image File format. File : %s\n"),
    ("r-signature-only.rix", RIX[:4], NO_RIX), ("r-palette-cut.rix", RIX[:777], NO_RIX),
    ("r-last-pixel-cut.rix", RIX[:-1], NO_RIX), ("r-huge.rix", patched(RIX, 4, b"\xff" * 4), NO_RIX),
    ("b-13-bytes.bmp", INFO[:13], NO_BITMAP),
    ("b-14-bytes.bmp", INFO[:14], "Cannot read bitmap core header, file : %s\n"),
    ("b-not-bm.bmp", patched(INFO, 1, b"A"), "Not a Bitmap File format. File : %s\n"),
    ("b-core-cut.bmp", INFO[:25], "Cannot read bitmap core header, file : %s\n"),
    ("b-core-only.bmp", CORE[:26], NO_PALETTE), ("b-info-only.bmp", INFO[:54], NO_PALETTE),
    ("b-info-cut.bmp", INFO[:53], NO_INFO),
    ("b-os2-cut.bmp", bitmap(pattern(6, 3), 6, bitmap_palette(), size=16)[:29], NO_INFO),
    ("b-compressed.bmp", patched(INFO, 30, b"\3"), COMPRESSED),
    ("b-compressed-24.bmp", patched(patched(INFO, 30, b"\1"), 28, b"\x18"), COMPRESSED),
    ("b-24-bits.bmp", patched(INFO, 28, b"\x18"), INVALID), ("b-core-3-bits.bmp", patched(CORE, 24, b"\3"), INVALID),
    ("b-14-byte-header.bmp", bitmap(pattern(6, 3), 6, bitmap_palette(), size=14), INVALID),
    ("b-width-65536.bmp", patched(INFO, 18, pack("<I", 65536)), INVALID),
    ("b-width-negative.bmp", patched(INFO, 18, pack("<i", -1)), INVALID),
    ("b-height-65536.bmp", patched(INFO, 22, pack("<I", 65536)), INVALID),
    ("b-height-minus-65536.bmp", patched(INFO, 22, pack("<i", -65536)), INVALID),
    ("b-offbits-in-header.bmp", patched(INFO, 10, pack("<I", 40)), NO_PALETTE),
    ("b-no-whole-entry.bmp", patched(INFO, 10, pack("<I", 57)), NO_PALETTE),
    ("b-huge-header.bmp", patched(INFO, 14, pack("<I", 0xFFFFFFF0)), NO_PALETTE),
    ("b-palette-cut.bmp", INFO[:1054], NO_PALETTE), ("b-core-palette-cut.bmp", CORE[:793], NO_PALETTE),
    ("b-padding-cut.bmp", INFO[:-1], NO_PIXELS),
    ("b-offbits-past-end.bmp", patched(CORE, 10, pack("<I", 0x7FFFFFFF)), NO_PIXELS),
    ("b-huge.bmp", patched(patched(INFO, 18, pack("<I", 65535)), 22, pack("<I", 65535)), NO_PIXELS)]



# ColorRIX pictures as the paint program saves them: compressed (0x80, and
# 0x84 for planar lines), 16 colours (palette type 0xAB) in every layout.
PALETTE_16 = [(i * 4, 63 - i * 4, (i * 9) & 63) for i in range(16)]
DRAWING = [bytes([y // 100 * 10 + x // 250 for x in range(1001)]) for y in range(1100)]  # long runs


# Segment plans: the rows of each segment.
def plan(kind, height):
    sizes = itertools.cycle({"whole": [height], "rows": [1], "irregular": [1, 3, 2, 5, 4]}.get(kind, [kind]))
    ends = itertools.takewhile(lambda end: end < height, itertools.accumulate(sizes))
    return [b - a for a, b in itertools.pairwise([0, *ends, height])]


def compressed(rows, width, palette, storage, segments="rows"):
    return rix_file(width, len(rows), palette, storage, compressed_pixels(rows, storage & 15, plan(segments, len(rows))))


# Pictures larger than the fuzz corpus holds (where the small ones, every
# tree shape, padding and refusal, are seeds): a screen in every layout,
# and pictures across a band of output rows.
def paint_program_images():
    rows, nibbles = pattern(640, 480), pattern(640, 480, 4)
    for segments in ("rows", "irregular", 7):
        yield f"80-{segments}.rix", compressed(rows, 640, RIX_PALETTE, 0x80, segments), None, bitmap_of_any_rix(rows, 640, RIX_PALETTE)
        yield f"84-{segments}.rix", compressed(nibbles, 640, PALETTE_16, 0x84, segments), None, bitmap_of_any_rix(nibbles, 640, PALETTE_16)
    yield "1001x1100-80.rix", compressed(DRAWING, 1001, RIX_PALETTE, 0x80, "whole"), None, bitmap_of_any_rix(DRAWING, 1001, RIX_PALETTE)
    flat = [row.translate(bytes(i & 15 for i in range(256))) for row in DRAWING]
    yield "1001x1100-84.rix", compressed(flat, 1001, PALETTE_16, 0x84, 50), None, bitmap_of_any_rix(flat, 1001, PALETTE_16)
    plain = [bytes([y % 200 + 1]) * 1024 for y in range(1100)]  # runs that end at every row's end
    yield "1024x1100-runs.rix", compressed(plain, 1024, RIX_PALETTE, 0x80, "whole"), None, bitmap_of_rix(plain, 1024, RIX_PALETTE)


PAINTED = compressed(pattern(6, 4), 6, RIX_PALETTE, 0x80, "rows")


# Run-length bitmaps across a band of output rows, with every palette size
# and header that holds a compression (every style of coding, and what an
# encoder of whole rows does not write, are seeds of the fuzz corpus).
def run_length_images():
    for bits, size, entries in ((8, 40, 256), (4, 64, 16), (8, 124, 2), (4, 108, 16), (8, 52, 16), (4, 56, 2)):
        rows = [row.translate(bytes(i % entries for i in range(256))) for row in DRAWING]
        yield (f"rle{bits}-1001x1100-{size}.bmp", rle_bitmap(rle_stream(rows, bits), 1001, 1100, bitmap_palette(entries), bits, size),
               None, rix_of_bitmap(rows, 1001, bitmap_palette(entries)))


class Conversions(unittest.TestCase):
    # Valid pictures become exactly the other format; a malformed input
    # gives one message and an empty output.
    # Pillow, an independent reader, reads a converted bitmap too.
    def test_each_input_becomes_its_picture_or_its_message(self):
        folder = batch(self, [*valid_images(), *((name, data, message, b"") for name, data, message in MALFORMED),
                              *run_length_images(), *paint_program_images()])
        with Image.open(folder / "640x480.bmp") if Image else open(folder / "640x480.bmp") as picture:
            self.assertEqual((bytes(picture.getdata()), picture.getpalette()) if Image else None,
                             (b"".join(pattern(640, 480)), [c << 2 & 255 for e in RIX_PALETTE for c in e]) if Image else None)

    # Byte 8 passes from the last ColorRIX found readable to the ColorRIX
    # files written after it, 0xAB (16 entries) as 0xAF, since they hold
    # 256; byte 9 goes as 0, since they hold a byte a pixel. A compressed
    # file is readable once its tree and lengths are, even if its codes
    # then split into no rows.
    def test_bytes_8_and_9_come_from_the_last_colorrix_read_whole(self):
        rows, small, nibbles = pattern(6, 3), pattern(3, 3), pattern(3, 3, 4)
        to_rix = lambda name, info: (name, bitmap(rows, 6, bitmap_palette()), None, rix_of_bitmap(rows, 6, bitmap_palette(), info))
        read = lambda name, info: (name, rix(small, 3, info=info), None, bitmap_of_rix(small, 3))
        painted = lambda name, kind, pixels, data: [read("reset-" + name, 1), (name, patched(data, 8, bytes([kind])), None,
                                                    bitmap_of_any_rix(pixels, 3, PALETTE_16 if kind == 0xAB else RIX_PALETTE)),
                                                    to_rix("after-" + name[:-3] + "bmp", 0xAF if kind == 0xAB else kind)]
        unsplit = patched(patched(compressed(small, 3, RIX_PALETTE, 0x80), 6, pack("<H", 4)), 8, b"\x33")
        batch(self, [to_rix("none-before.bmp", 175), read("a.rix", 1), to_rix("after-a.bmp", 1),
                     to_rix("bitmap-between.bmp", 1), read("b.rix", 175), to_rix("latest-wins.bmp", 175),
                     *painted("c80.rix", 0xC5, small, compressed(small, 3, RIX_PALETTE, 0x80)),
                     *painted("ab84.rix", 0xAB, nibbles, compressed(nibbles, 3, PALETTE_16, 0x84)),
                     *painted("ab02.rix", 0xAB, nibbles, rix_file(3, 3, PALETTE_16, 2, stored_pixels(nibbles, 2))),
                     *painted("ab00.rix", 0xAB, nibbles, rix_file(3, 3, PALETTE_16, 0, stored_pixels(nibbles, 0))),
                     read("c.rix", 0xC5),
                     *((f"stored-{storage:02x}.rix", rix(small, 3, info=storage << 8 | 0xAF), NO_RIX, b"") for storage in (0x40, 0x20, 3, 0x82)),
                     to_rix("storage-passes-nothing.bmp", 0xC5), ("cut.rix", rix(small, 3, info=7)[:-1], NO_RIX, b""),
                     to_rix("cut-passes-nothing.bmp", 0xC5), ("cut-segment.rix", patched(PAINTED, 8, b"\x44")[:-1], NO_RIX, b""),
                     ("cut-count.rix", patched(PAINTED, 8, b"\x44")[:779], NO_RIX, b""), to_rix("cut-segment-passes-nothing.bmp", 0xC5),
                     ("unsplit.rix", unsplit, NO_RIX, b""), to_rix("unsplit-passes-its-type.bmp", 0x33),
                     ("sig.rix", patched(rix(small, 3, info=9), 3, b"4"), "Not a ColorRIX Image File format. File : %s\n", b""),
                     to_rix("signature-passes-nothing.bmp", 0x33)])


SMALL = pattern(5, 2)
SMALL_RIX = rix(SMALL, 5)
SMALL_BITMAP = bitmap(SMALL, 5, bitmap_palette())
DEEP = "/".join(["d" * 120] * 3)  # past any 260-byte path limit


class Runs(unittest.TestCase):
    def test_without_arguments_banner_and_status_255(self):
        folder = Folder(self)
        seen = "Z:" + PROGRAM.replace("/", "\\") if WINDOWS else PROGRAM  # argument 0 as the program sees it
        self.assertEqual(folder.run(), (lines(
            f"\nQuorvel\nConverts ColorRIX 640x480x8 *.RIX to Windows *.BMP bitmaps and \n"
            f"Usage: {seen} (infile.rix|infile.bmp) [infile infile infile]\n"
            f"Example:\n  {seen} splash0.rix splash6.rix\n  {seen} bitmap.bmp"), 255))
        self.assertEqual(os.listdir(folder.path), [])

    def test_a_run_over_names_of_every_kind(self):
        folder = Folder(self)
        folder.write([(name, SMALL_RIX) for name in ("good.rix", "s.rix", "été.rix", "ж.rix", DEEP + "/card.rix", "later.rix")] +
                     [("PIC.BMP", SMALL_BITMAP), ("xbmp", SMALL_BITMAP), ("junk.bmp", b"j" * 40),
                      ("good.bmp", b"o" * 5000), ("junk.rix", b"o")])
        # Four bytes that show as three characters end the run all the same.
        folder.check("a\u00e9x", "good.rix", expected="Unknown extention : .\u00e9x\n")
        self.assertEqual(folder.read("good.bmp"), b"o" * 5000)
        folder.check("abc", "good.rix", "PIC.BMP", "xbmp", "missing.rix", "junk.bmp", DEEP + "/card.rix", "été.rix",
                     "ж.rix", "ŝ.rix", "a.xmp", "later.rix",
                     expected="Error command line parameter: abc. Ignored." + created("good.bmp", "PIC.rix", "xrix") +
                     "Cannot read missing.rix\nNot a Bitmap File format. File : junk.bmp\n" +
                     created(DEEP + "/card.bmp", "été.bmp", "ж.bmp") + "Cannot read ŝ.rix\nUnknown extention : .xmp\n")
        as_bitmap, as_rix = bitmap_of_rix(SMALL, 5), rix_of_bitmap(SMALL, 5, bitmap_palette())
        outputs = [("good.bmp", as_bitmap), ("PIC.rix", as_rix), ("xrix", as_rix), ("junk.rix", b""),
                   (DEEP + "/card.bmp", as_bitmap), ("été.bmp", as_bitmap), ("ж.bmp", as_bitmap)]
        folder.check_files(outputs)
        self.assertEqual([name for name, _ in outputs if os.stat(folder / name).st_mode & 0o600 != 0o600], [], "unwritable")
        # ŝ only looks like s
        self.assertEqual([name for name in ("missing.bmp", "s.bmp", "ŝ.bmp", "later.bmp") if os.path.lexists(folder / name)], [])

    def test_files_that_are_no_image_or_would_destroy_the_input(self):
        folder = Folder(self)
        folder.write([(name + ".rix", SMALL_RIX) for name in ("hard", "dir", "sym", "dev", "pipe")] +
                     [("real.bmp", SMALL_RIX), ("packed.rix", compressed(SMALL, 5, RIX_PALETTE, 0x80))])
        os.link(folder / "hard.rix", folder / "hard.bmp")
        os.mkdir(folder / "dir.bmp")
        rows = [("hard.rix", "Cannot create hard.bmp\n"), ("dir.rix", "Cannot create dir.bmp\n")]
        if WINDOWS:
            rows += [("nul.rix", "Cannot read nul.rix\n")]  # the device, under any extension
        else:
            for target, link in (("/dev/zero", "zero.rix"), ("sym.rix", "sym.bmp"), ("real.bmp", "both.rix"),
                                 ("real.bmp", "both.bmp"), ("/dev/null", "dev.bmp")):
                os.symlink(target, folder / link)
            # FIFOs: one to read, and two to write, open here so that the program's open succeeds;
            # decoded rows are gathered whole before they go in order
            pipes = [os.mkfifo(folder / name) or os.open(folder / name, os.O_RDONLY | os.O_NONBLOCK)
                     for name in ("fifo.rix", "pipe.bmp", "packed.bmp")][1:]
            self.addCleanup(lambda: [os.close(pipe) for pipe in pipes])
            rows += [("zero.rix", "Cannot read zero.rix\n"), ("sym.rix", "Cannot create sym.bmp\n"),
                     ("both.rix", "Cannot create both.bmp\n"), ("fifo.rix", "Cannot read fifo.rix\n"),
                     ("dev.rix", created("dev.bmp")), ("pipe.rix", created("pipe.bmp")), ("packed.rix", created("packed.bmp"))]
        folder.check(*(name for name, _ in rows), expected="".join(message for _, message in rows))
        if not WINDOWS:  # a FIFO cannot take the headers last: they come first, as its reader needs them
            self.assertEqual([os.read(pipe, 1 << 16) for pipe in pipes],
                             [bitmap_of_rix(SMALL, 5), bitmap_of_any_rix(SMALL, 5, RIX_PALETTE)])
        folder.check_files([(name + ".rix", SMALL_RIX) for name in ("hard", "dir", "sym", "dev")] + [("real.bmp", SMALL_RIX)])

    # tmux gives wine a console, whose code page chcp shows before and after.
    @unittest.skipUnless(WINDOWS and shutil.which("tmux"), "needs a Windows program and tmux")
    def test_names_show_as_typed_on_a_console(self):
        folder, tmux = Folder(self), ["tmux", "-L", f"quorvel-{os.getpid()}", "-f", "/dev/null"]
        folder.write([("été.rix", SMALL_RIX), ("ж.rix", SMALL_RIX)])
        program = "Z:" + PROGRAM.replace("/", "\\")
        command = shlex.join(LAUNCHER + ["cmd", "/c", f"chcp & {program} été.rix ж.rix & chcp"])
        started = subprocess.run(tmux + ["new-session", "-d", "-x", "120", "-y", "20", "-c", folder.path,
                                         f"{command}; {shlex.join(tmux)} wait-for -S ran; sleep 60"], env=ENVIRONMENT)
        self.addCleanup(subprocess.run, tmux + ["kill-server"], capture_output=True)
        if started.returncode != 0:  # as in the 32-bit leg's virtual machine, which has no shell for tmux
            self.skipTest("tmux cannot start a session here")
        subprocess.run(tmux + ["wait-for", "ran"], env=ENVIRONMENT, timeout=60, check=True)
        screen = subprocess.run(tmux + ["capture-pane", "-p"], env=ENVIRONMENT, capture_output=True, text=True).stdout
        before, *shown, after = [line for line in screen.splitlines() if line]
        self.assertEqual(shown, ["File created : été.bmp", "File created : ж.bmp"])
        self.assertEqual(before, after)
        self.assertRegex(before, "code page")


BIG = pattern(1001, 700)


# Runs held part-way by a small library (shim.cpp) loaded into the process
# that runs the program: it stops the run just before a chosen write of a
# file, or makes a chosen read of it fail or come back short, so small
# pictures of two bands do. Each picture is plain, all 0x11, written over
# an older output whose pixels are all 0xEE; c.rix is compressed, its rows
# decoded.
SHIM = os.environ.get("QUORVEL_SHIM")
needs_shim = unittest.skipUnless(SHIM and os.path.exists(SHIM), "no library to hold the run with")
SIDE, HEIGHT = 1100, 2200
PIXELS_AT = {"bmp": 794, "rix": 778}


def plain(name, fill, packed=False):
    rows = [bytes([fill]) * SIDE] * HEIGHT
    if packed:
        return compressed(rows, SIDE, RIX_PALETTE, 0x80, 8)
    return rix(rows, SIDE) if name.endswith("rix") else bitmap(rows, SIDE, bitmap_palette(), size=12)


# The library acts on `file` as `settings` say (stop_at, fail_read,
# short_read). qemu-user takes it for the program it runs, not for itself.
def start(folder, *arguments, file="", preexec_fn=None, **settings):
    settings.setdefault("shim_input", arguments[0])
    qemu = "qemu" in os.path.basename(LAUNCHER[0]) if LAUNCHER else False
    environment = dict(ENVIRONMENT, QUORVEL_SHIM_FILE=file, ASAN_OPTIONS="verify_asan_link_order=0",
                       **{"QEMU_SET_ENV" if qemu else "LD_PRELOAD": ("LD_PRELOAD=" if qemu else "") + (SHIM or "")},
                       **{f"QUORVEL_{key.upper()}": str(value) for key, value in settings.items()})
    return subprocess.Popen(LAUNCHER + [PROGRAM, *arguments], cwd=folder.path, env=environment, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=preexec_fn)


# A run converting `name`, held part-way: after its first write (point 0),
# or before its last (point 1). It writes zeros in the place of the
# headers, three bands, then the headers. A Windows program's Ctrl-C
# handler comes once a read follows: there point 1 is before the last band.
def stopped(case, folder, name, point, **options):
    program = start(folder, name, file=output_of(name), stop_at=((2, 3) if WINDOWS else (2, 5))[point], **options)
    case.addCleanup(program.kill)  # should the case fail while it is stopped
    case.assertTrue(os.WIFSTOPPED(os.waitpid(program.pid, os.WUNTRACED)[1]), "the run was not held")
    return program


@needs_shim
class Interruptions(unittest.TestCase):
    # Emptied after SIGINT, SIGTERM or SIGHUP (Ctrl-C on Windows), and
    # ending as the signal ends a program; after SIGKILL the output's
    # first bytes are still zeros, so no reader takes it for a picture.
    def test_an_interrupted_conversion_leaves_no_picture(self):
        # c.rix reads nothing once it writes: a Windows handler would come too late.
        names = ("a.rix", "b.bmp") if WINDOWS else ("a.rix", "b.bmp", "c.rix")
        folder, older = Folder(self), {name: plain(output_of(name), 0xEE) for name in names}
        folder.write((name, plain(name, 0x11, packed=name == "c.rix")) for name in older)
        handled = [signal.SIGINT] if WINDOWS else [signal.SIGINT, signal.SIGTERM, signal.SIGHUP]
        for name, number, point in itertools.product(older, handled + [signal.SIGKILL], (0, 1)):
            with self.subTest(name=name, signal=signal.Signals(number).name, point=point):
                folder.write([(output_of(name), older[name])])
                program = stopped(self, folder, name, point, pause=10000 if WINDOWS and number == signal.SIGINT else 0)
                for sent in number, signal.SIGCONT:
                    program.send_signal(sent)
                (out, _), left = program.communicate(timeout=60), folder.read(output_of(name))  # in this order
                if number == signal.SIGKILL:  # zeros where headers and palette go
                    held = PIXELS_AT[output_of(name)[-3:]]
                    self.assertEqual((len(left) >= held, left[:held].count(0)), (True, held))
                else:  # on Windows the system's handler ends it, with a status of its own
                    status = -number if WINDOWS else program.returncode
                    self.assertEqual((out, status, len(left)), (b"", -number, 0))

    # Started with SIGHUP ignored (nohup, a job in the background), the run
    # leaves it ignored and converts to the end.
    @posix_only
    def test_a_signal_ignored_from_the_start_stays_ignored(self):
        folder = Folder(self)
        folder.write([("a.rix", plain("a.rix", 0x11)), ("a.bmp", plain("a.bmp", 0xEE))])
        program = stopped(self, folder, "a.rix", 0, preexec_fn=lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN))
        for sent in signal.SIGHUP, signal.SIGCONT:
            program.send_signal(sent)
        self.assertEqual(program.communicate(timeout=60)[0].decode(), created("a.bmp"))

    # A read that fails (EIO), or comes back short with the file seeming to
    # end there, in each part of each kind of input: its message, the
    # output (there beforehand) emptied, and the run goes on. A window of
    # compressed data asks for a megabyte: half of it is the whole of a
    # small file. Shown by (input, which read, how, message or None); wine
    # reads the first bytes of each file it opens once, before the program.
    def test_each_failed_read_is_reported(self):
        noise = [random.Random(y).randbytes(1000) for y in range(1100)]
        folder, planes = Folder(self), [bytes([1, 2]) * (SIDE // 2)] * SIDE
        folder.write([("a.rix", plain("a.rix", 0x11)), ("b.bmp", plain("b.bmp", 0x11)), ("c.rix", plain("c.rix", 0x11, packed=True)),
                      ("d.rix", compressed(noise, 1000, RIX_PALETTE, 0x80, 50)), ("z.rix", SMALL_RIX),
                      ("e.rix", rix_file(SIDE, SIDE, PALETTE_16, 4, stored_pixels(planes, 4))),
                      ("f.rix", rix_file(SIDE, SIDE, PALETTE_16, 2, stored_pixels(planes, 2))),
                      ("r.bmp", rle_bitmap(rle_stream([bytes([9]) * SIDE] * SIDE, 8), SIDE, SIDE, bitmap_palette(), 8))])
        for name, read, how, message in (
                ("a.rix", 1, "fail", NO_SIGNATURE), ("a.rix", 1, "short", NO_RIX), ("a.rix", 2, "fail", NO_RIX),
                ("a.rix", 3, "short", NO_RIX), ("b.bmp", 1, "fail", NO_BITMAP), ("b.bmp", 1, "short", NO_PALETTE),
                ("b.bmp", 2, "fail", NO_PALETTE), ("b.bmp", 3, "short", NO_PIXELS), ("b.bmp", 4, "fail", NO_PIXELS),
                ("c.rix", 2, "fail", NO_RIX), ("c.rix", 2, "short", None), ("d.rix", 3, "fail", NO_RIX),
                ("d.rix", 4, "short", NO_RIX), ("d.rix", 5, "fail", NO_RIX), ("e.rix", 2, "fail", NO_RIX),
                ("e.rix", 3, "short", NO_RIX), ("f.rix", 5, "fail", NO_RIX), ("r.bmp", 3, "fail", NO_PIXELS)):
            with self.subTest(name=name, read=read, how=how):
                folder.write([(output_of(name), b"\xee" * 2000)])
                program = start(folder, name, "z.rix", file=name, **{f"{how}_read": read + WINDOWS})
                expected = (message % name if message else created(output_of(name))) + created("z.bmp")
                self.assertEqual(program.communicate(timeout=60)[0].decode(), lines(expected))
                self.assertEqual(len(folder.read(output_of(name))) > 0, message is None)

    # The input is cut short under a run stopped part-way through it, once
    # the end of its rows is read (their first band, reversed): the output,
    # whole length and regular, is emptied.
    def test_an_input_cut_short_while_it_is_read(self):
        folder = Folder(self)
        for name, message in (("c.rix", NO_RIX), ("d.bmp", NO_PIXELS)):
            with self.subTest(name):
                data = plain(name, 0x11)
                folder.write([(name, data), (output_of(name), plain(output_of(name), 0xEE))])
                program = stopped(self, folder, name, 0)
                os.truncate(folder / name, len(data) - 1)
                program.send_signal(signal.SIGCONT)
                self.assertEqual((program.communicate(timeout=60)[0].decode(), len(folder.read(output_of(name)))),
                                 (lines(message % name), 0))
    # While one run is stopped part-way through a.rix -> a.bmp, others may
    # read a.rix but neither write it nor touch a.bmp; nothing they are
    # refused is emptied or written.
    def test_a_run_keeps_its_files_from_other_runs(self):
        folder = Folder(self)
        folder.write([("a.rix", plain("a.rix", 0x11)), ("a.bmp", plain("a.bmp", 0xEE)), ("b.bmp", SMALL_BITMAP)])
        os.link(folder / "a.rix", folder / "b.rix")  # b.bmp's output is a.rix under another name
        os.link(folder / "a.rix", folder / "c.rix")
        first = stopped(self, folder, "a.rix", 0)
        folder.check("a.bmp", "a.rix", "b.bmp", "c.rix",
                     expected="Cannot read a.bmp\nCannot create a.bmp\nCannot create b.rix\n" + created("c.bmp"))
        first.send_signal(signal.SIGCONT)
        self.assertEqual(first.communicate(timeout=60)[0].decode(), lines(created("a.bmp")))
        converted = bitmap_of_rix([b"\x11" * SIDE] * HEIGHT, SIDE)
        folder.check_files([("a.rix", plain("a.rix", 0x11)), ("a.bmp", converted), ("c.bmp", converted),
                            ("b.bmp", SMALL_BITMAP)])

@posix_only
class Limits(unittest.TestCase):
    # Wide rows and narrow ones, each limit on either side of a part's end;
    # each output then holds what was written and no more of the longer one
    # the run before left. Decoded rows (e.rix, f.rix) go to their places,
    # the bottom of the picture first in the file but not first written:
    # after a failed write the place of the headers keeps its zeros.
    def test_each_failed_write_is_reported(self):
        folder, narrow, nibbles = Folder(self), pattern(101, 6000), pattern(101, 6000, 4)
        drawing = DRAWING[:700]
        files = [("a.rix", rix(BIG, 1001), bitmap_of_rix(BIG, 1001)), ("c.rix", rix(narrow, 101), bitmap_of_rix(narrow, 101)),
                 ("b.bmp", bitmap(BIG, 1001, bitmap_palette()), rix_of_bitmap(BIG, 1001, bitmap_palette())),
                 ("d.bmp", bitmap(narrow, 101, bitmap_palette()), rix_of_bitmap(narrow, 101, bitmap_palette())),
                 ("e.rix", compressed(drawing, 1001, RIX_PALETTE, 0x80, 50), bitmap_of_any_rix(drawing, 1001, RIX_PALETTE)),
                 ("f.rix", rix_file(101, 6000, PALETTE_16, 4, stored_pixels(nibbles, 4)), bitmap_of_any_rix(nibbles, 101, PALETTE_16))]
        folder.write((name, data) for name, data, _ in files)
        for limit, part in ((600000, "raw data"), (794, "raw data"), (793, "palette data"), (26, "palette data"),
                            (25, "BMPCOREHEADER"), (14, "BMPCOREHEADER"), (13, "BMPFILEHEADER"), (0, "BMPFILEHEADER")):
            with self.subTest(limit=limit):
                folder.check(*(name for name, _, _ in files), limits=[(resource.RLIMIT_FSIZE, limit)],
                             expected="".join(f"Cannot write {part} to {name}\n" for name in ("a.bmp", "c.bmp")) +
                             "".join(f"Cannot write palette data to {name}\n" for name in ("b.rix", "d.rix")) +
                             "".join(f"Cannot write {part} to {name}\n" for name in ("e.bmp", "f.bmp")))
                folder.check_files([(output_of(name), output[:limit]) for name, _, output in files[:4]] +
                                   [(output_of(name), bytes(min(limit, 794)) + output[794:limit]) for name, _, output in files[4:]])

    @unittest.skipIf("memory" in SKIP, "not for this build")
    def test_memory_stays_bounded_for_a_16000_x_16000_picture(self):
        side, folder = 16000, Folder(self)
        with open(folder / "big.rix", "wb") as image:  # the top row T, the bottom row B, a sparse middle
            image.write(b"RIX3" + pack("<HHH", side, side, 175) + bytes(768) + b"T" * side)
            image.seek(778 + side * (side - 1))
            image.write(b"B" * side)
        limit = [(resource.RLIMIT_AS, 200 << 20)]
        folder.check("big.rix", limits=limit, expected=created("big.bmp"))
        with open(folder / "big.bmp", "rb") as image:
            self.assertEqual((image.read(795)[-1:], os.path.getsize(folder / "big.bmp")), (b"B", 794 + side * side))
        os.rename(folder / "big.bmp", folder / "back.bmp")
        folder.check("back.bmp", limits=limit, expected=created("back.rix"))
        self.assertTrue(folder.read("back.rix") == folder.read("big.rix"))

    # Under the least address space in which a small picture converts, and a
    # little more, a band of 8192-byte rows (2 MiB) cannot be had, nor the
    # window a compressed ColorRIX is read through: each says so its own
    # way, leaves its output empty, and the run goes on.
    @unittest.skipIf("memory" in SKIP, "not for this build")
    def test_a_band_that_cannot_be_had_is_reported(self):
        folder, rows = Folder(self), pattern(8192, 300)
        folder.write([("small.rix", SMALL_RIX), ("a.rix", rix(rows, 8192)), ("b.bmp", bitmap(rows, 8192, bitmap_palette())),
                      ("c.rix", compressed(rows, 8192, RIX_PALETTE, 0x80, 4))])  # its window of a megabyte first

        limited = lambda size: lambda: resource.setrlimit(resource.RLIMIT_AS, (size, size))
        least = next(size for size in range(1 << 20, 64 << 20, 128 << 10) if subprocess.run(  # stderr: too little to load
            [PROGRAM, "small.rix"], cwd=folder.path, capture_output=True, preexec_fn=limited(size)).stdout == b"File created : small.bmp\n")
        message = "Cannot allocate heap, free 2084864 bytes of memory then try again..."  # a line break only this way
        folder.check("a.rix", "b.bmp", "c.rix", "small.rix", limits=[(resource.RLIMIT_AS, least + (256 << 10))],
                     expected=message + message + "\n" + message.replace("2084864", "1048576") + created("small.bmp"))
        folder.check_files([("a.bmp", b""), ("b.rix", b""), ("c.bmp", b"")])

    def test_a_batch_larger_than_the_descriptor_limit(self):
        folder = Folder(self)
        names = [f"{i}.rix" for i in range(20)] + [f"{i}.bmp" for i in range(20, 40)]
        folder.write((name, SMALL_RIX if name.endswith("rix") else SMALL_BITMAP) for name in names)
        folder.check(*names, limits=[(resource.RLIMIT_NOFILE, 10)], expected=created(*map(output_of, names)))


THUMBNAILER = os.path.join(os.path.dirname(PROGRAM), "quorvel-thumbnailer")


# Pictures of every layout drawn as thumbnails: (name, rows, palette, file, size).
# ColorRIX pictures of every kind: (name, file, rows, palette).
def codec_pictures():
    nibbles, odd, flat = pattern(13, 5, 4), pattern(383, 9, 4), [row.translate(bytes(i & 15 for i in range(256))) for row in DRAWING]
    yield "stored.rix", rix(pattern(9, 7), 9), pattern(9, 7), RIX_PALETTE
    for storage, name in ((4, "planar.SCI"), (2, "planes.vmg"), (1, "swapped.sca"), (0, "16.scz")):
        yield name, rix_file(13, 5, PALETTE_16, storage, stored_pixels(nibbles, storage)), nibbles, PALETTE_16
    yield "80.rix", compressed(pattern(641, 3), 641, RIX_PALETTE, 0x80, "irregular"), pattern(641, 3), RIX_PALETTE
    yield "84.scx", compressed(odd, 383, PALETTE_16, 0x84, 2), odd, PALETTE_16
    for width, height in ((1, 1), (65535, 2), (3, 5000), (1001, 1100)):
        yield f"{width}x{height}.rix", rix(pattern(width, height), width), pattern(width, height), RIX_PALETTE
    yield "1001x1100-80.rix", compressed(DRAWING, 1001, RIX_PALETTE, 0x80, "whole"), DRAWING, RIX_PALETTE
    yield "1001x1100-84.rix", compressed(flat, 1001, PALETTE_16, 0x84, 50), flat, PALETTE_16


# What the converter refuses, up front or once its rows are read: (name, file).
def refused_pictures():
    yield from {"text.rix": b"not a picture", "lower.SCI": b"rix3" + SMALL_RIX[4:], "bitmap.sci": SMALL_BITMAP, "short.rix": b"RI",
                "signature.dat": b"RIX3", "header-cut.rix": SMALL_RIX[:9], "palette-cut.dat": SMALL_RIX[:700], "pixel-cut.scr": SMALL_RIX[:-1],
                **{f"stored-{kind:02x}.rix": rix(pattern(3, 3), 3, info=kind << 8 | 0xAF) for kind in (0x40, 0x20, 3, 0x82)}}.items()
    yield from ((path.name, path.read_bytes()) for path in sorted(pathlib.Path(HERE, "../fuzz/corpus/rix_to_bmp").glob("refused-*")))


# A palette's 256 colours as the converted bitmap shows them: (red, green, blue).
def bitmap_colours(palette):
    return [tuple((c << 2) & 255 for c in entry) for entry in palette] + [(0, 0, 0)] * (256 - len(palette))


# A picture scaled to fit `size` as its bitmap's colours show it: its
# thumbnail's width and height, and RGB pixels, each the rounded average of
# the source pixels [k * side // thumbnail side, (k + 1) * side // thumbnail side) on both axes.
def averaged(rows, palette, size):
    width, height = len(rows[0]), len(rows)
    scale = lambda side: side if max(width, height) <= size else max(1, (side * size + max(width, height) // 2) // max(width, height))
    colours = bitmap_colours(palette)
    boxes = lambda side, to: [range(k * side // to, (k + 1) * side // to) for k in range(to)]
    return (scale(width), scale(height)), [tuple((sum(colours[rows[y][x]][c] for y in down for x in across) + len(down) * len(across) // 2) //
                                                 (len(down) * len(across)) for c in range(3))
                                           for down in boxes(height, scale(height)) for across in boxes(width, scale(width))]


# The desktop's part: the ColorRIX type in a shared MIME database of the
# suite's own, and the thumbnailer, whose PNG Pillow reads back.
@unittest.skipUnless(os.path.exists(THUMBNAILER) and not LAUNCHER and Image, "no thumbnailer, or no Pillow, here")
class Desktop(unittest.TestCase):
    @unittest.skipUnless(shutil.which("update-mime-database") and shutil.which("gio"), "needs shared-mime-info and gio")
    def test_colorrix_files_are_known_by_name_and_by_content(self):
        folder, files = Folder(self), {"a.rix": SMALL_RIX, "b.SCI": b"anything", "c.scx": b"x", "picture.dat": SMALL_RIX,
                                       "saver.scr": b"MZ" + bytes(200), "notes.txt": b"RIX3 is a signature\n"}
        folder.write([*files.items(), ("share/mime/packages/quorvel.xml", pathlib.Path(HERE, "../packaging/quorvel.xml").read_bytes())])
        subprocess.run(["update-mime-database", folder / "share/mime"], check=True, capture_output=True)
        environment = dict(ENVIRONMENT, XDG_DATA_DIRS=f"{folder / 'share'}:/usr/share", XDG_DATA_HOME=folder / "none")
        for name, kind in zip(files, (True, True, True, True, False, False)):
            shown = subprocess.run(["gio", "info", "-a", "standard::content-type", folder / name], env=environment,
                                   capture_output=True, text=True, check=True).stdout
            self.assertEqual("image/x-colorix" in shown, kind, name)

    # Each picture in the colours its bitmap shows, scaled to fit the size asked for (averaged).
    def test_thumbnails_are_the_pictures_averaged(self):
        folder = Folder(self)
        for (name, data, rows, palette), size in zip(codec_pictures(), itertools.cycle((16, 100, 256, 99))):
            folder.write([(name, data)])
            status = subprocess.run([THUMBNAILER, "-s", str(size), name, name + ".png"], cwd=folder.path, capture_output=True)
            self.assertEqual((status.returncode, status.stdout), (0, b""), name)
            shape, pixels = averaged(rows, palette, size)
            with self.subTest(name), Image.open(folder / (name + ".png")) as thumbnail:
                self.assertEqual((thumbnail.size, folder.read(name + ".png")[-8:]), (shape, b"IEND\xaeB`\x82"))
                self.assertTrue(list(thumbnail.convert("RGB").getdata()) == pixels, "pixels differ")

    # Whatever the converter refuses, up front or once its rows are being
    # read, and a thumbnail that cannot be written (no folder, a file-size
    # limit): status 1, nothing printed, and no file at all. Arguments of
    # another form: status 2.
    def test_refused_files_leave_no_thumbnail(self):
        folder, free = Folder(self), resource.RLIM_INFINITY
        files = dict(refused_pictures(), **{"empty.rix": b"", "no-rows.rix": rix([], 5),
                                            "unsplit.rix": pathlib.Path(HERE, "../fuzz/corpus/rix_to_bmp/padding-two-splits.rix").read_bytes()})
        folder.write([*files.items(), ("a.rix", rix(pattern(300, 200), 300))])
        for arguments, status, limit in [*((["64", name, "out.png"], 1, free) for name in [*files, "missing.rix"]),
                                         (["64", "a.rix", "no/out.png"], 1, free), (["64", "a.rix", "out.png"], 1, 500),
                                         (["0", "a.rix", "out.png"], 2, free), (["65536", "a.rix", "out.png"], 2, free),
                                         (["6x", "a.rix", "out.png"], 2, free), (["64", "a.rix"], 2, free)]:
            run = subprocess.run([THUMBNAILER, "-s", *arguments], cwd=folder.path, capture_output=True, preexec_fn=lambda: (
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN), resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))))
            self.assertEqual((run.returncode, run.stdout if status == 1 else b"", os.path.exists(folder / "out.png")),
                             (status, b"", False), arguments)


PIXBUF_LOADER = os.path.abspath(os.environ.get("QUORVEL_PIXBUF_LOADER", "none"))
# Loads each file named through gdk-pixbuf: from the file, found by name or
# content, and fed to a ColorRIX loader in pieces of 1 byte, of 4093 and
# whole. Prints each picture's size and a digest of its RGB rows, or the
# error; fed, the rows reported updated in all and before the last piece.
PIXBUF_READER = r"""
import gi, hashlib, sys
gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, GLib
def fed(data, size):
    loader, updated = GdkPixbuf.PixbufLoader.new_with_type("colorix"), []
    loader.connect("area-updated", lambda _, x, y, width, height: updated.append(height))
    for at in range(0, len(data), size):
        early = sum(updated)
        loader.write(data[at:at + size])
    loader.close()
    return loader.get_pixbuf(), f"updated {sum(updated)} early {early}"
for name in sys.argv[1:]:
    data = open(name, "rb").read()
    for way in "file", 1, 4093, len(data):
        try:
            pixbuf, shown = (GdkPixbuf.Pixbuf.new_from_file(name), "info %dx%d" % GdkPixbuf.Pixbuf.get_file_info(name)[1:]) if way == "file" else fed(data, way)
            width, height, stride, pixels = pixbuf.get_width(), pixbuf.get_height(), pixbuf.get_rowstride(), pixbuf.get_pixels()
            rgb = b"".join(pixels[y * stride:y * stride + 3 * width] for y in range(height))
            print(name, way, f"{width}x{height}", pixbuf.get_has_alpha(), hashlib.sha1(rgb).hexdigest(), shown)
        except GLib.Error as error:
            print(name, way, error.message)
"""


# The gdk-pixbuf loader as GTK programs use it, through gdk-pixbuf itself
# (Python's gi) with a loaders' cache of its own and the ColorRIX type in a
# MIME database of the suite's own: every kind of ColorRIX from its file and
# fed in pieces, in the bitmap's colours, stored rows reported as they
# arrive; whatever the converter refuses, up front or at the end, an error.
# (Debian's thumbnailer drawing through the loader installed by its package
# is a step of CI's.)
@unittest.skipUnless(os.path.exists(PIXBUF_LOADER) and shutil.which("update-mime-database") and importlib.util.find_spec("gi"), "no gdk-pixbuf loader, or no gi")
class Pixbuf(unittest.TestCase):
    def test_pictures_and_refusals(self):
        folder, expected, damaged = Folder(self), [], "The ColorRIX image is damaged, cut short or stored in a way that is not read"
        refused = {name: (data, damaged if data[:4] == b"RIX3" else "Not a ColorRIX image" if len(data) >= 4 else "The file is too short to be a ColorRIX image")
                   for name, data in refused_pictures() if data[:2] != b"BM"}  # gdk-pixbuf's own reads a bitmap
        refused["no-rows.rix"] = (rix([], 5), "The ColorRIX image has no pixels")
        folder.write((name, data) for name, (data, _) in refused.items())
        for name, data, rows, palette in codec_pictures():
            folder.write([(name, data)])
            colours = [bytes(colour) for colour in bitmap_colours(palette)]
            (width, height), digest = (len(rows[0]), len(rows)), hashlib.sha1(b"".join(colours[i] for row in rows for i in row)).hexdigest()
            start, span = 10 + 3 * (16 if data[8] == 0xAB else 256), len(rows[0]) if data[9] == 0 else 4 * ((len(rows[0]) + 7) // 8)
            early = lambda size: min(height, max(0, (len(data) - 1) // size * size - start) // span) if data[9] in (0, 4) else 0  # stored rows as they come
            expected += [f"{name} {way} {width}x{height} False {digest} " + (f"info {width}x{height}" if way == "file" else f"updated {height} early {early(way)}")
                         for way in ("file", 1, 4093, len(data))]
        expected += [f"{name} {way} " + (f"Failed to load image “{name}”: " if way == "file" else "") + message
                     for name, (data, message) in refused.items() for way in ("file", 1, 4093, len(data))]
        folder.write([("share/mime/packages/quorvel.xml", pathlib.Path(HERE, "../packaging/quorvel.xml").read_bytes())])
        subprocess.run(["update-mime-database", folder / "share/mime"], check=True, capture_output=True)
        libraries = subprocess.run(["ldd", PIXBUF_LOADER], capture_output=True, text=True).stdout.split()
        environment = dict(ENVIRONMENT, XDG_DATA_DIRS=f"{folder / 'share'}:/usr/share", XDG_DATA_HOME=folder / "none", ASAN_OPTIONS="detect_leaks=0",
                           GDK_PIXBUF_MODULE_FILE=folder / "loaders.cache", LD_PRELOAD=" ".join(p for p in libraries if "/libasan" in p))  # a sanitized build's
        query = next(pathlib.Path(p).parent / "gdk-pixbuf-2.0/gdk-pixbuf-query-loaders" for p in libraries if "/libgdk_pixbuf-2.0" in p)  # of the loader's gdk-pixbuf
        folder.write([("loaders.cache", subprocess.run([query, PIXBUF_LOADER], env=environment, capture_output=True, check=True).stdout)])
        run = subprocess.run([sys.executable, "-c", PIXBUF_READER, *(line.split()[0] for line in expected[::4])], cwd=folder.path, env=environment,
                             capture_output=True, text=True)
        self.assertEqual((run.stdout.splitlines(), run.stderr, run.returncode), (expected, "", 0))


WIC_CHECK, WIC_DLL = (os.path.abspath(os.environ[name]) if os.environ.get(name) else None for name in ("QUORVEL_WIC_CHECK", "QUORVEL_WIC_DLL"))
THUMBNAIL_HANDLER = "{8982CB53-989E-41D5-85EF-60005EF5A487}"
NO_DECODER, BAD_IMAGE, BAD_HEADER = "0x88982F50", "0x88982F60", "0x88982F61"
CODEC_EXTENSIONS = {".rix", ".vmg", *(".sc" + letter for letter in "abcdefghijklopqstuvwxyz")}  # not .scm .scn .scr


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# A wine prefix of a case's own, which nothing else registers into
# meanwhile, started as the suite's is: its environment.
def own_prefix(cleanup):
    prefix, server = tempfile.mkdtemp(prefix="quorvel-wine-"), os.path.join(os.path.dirname(LAUNCHER[0]), "wineserver")
    environment = dict(ENVIRONMENT, WINEPREFIX=prefix)
    cleanup(shutil.rmtree, prefix, True)
    cleanup(subprocess.run, [server, "-k"], env=environment)
    for command in [server, "-p10"], LAUNCHER + ["wineboot", "-i"]:
        subprocess.run(command, env=environment, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return environment


# The codec through the system's own interfaces, as programs and Explorer
# use it (wic_check.cpp), registered by regsvr32.
@unittest.skipUnless(WINDOWS and LAUNCHER and WIC_CHECK and WIC_DLL, "no codec and its check program here")
class Codec(unittest.TestCase):
    @classmethod
    def setUpClass(cls):  # registered for the machine, as an installer does
        cls.environment = own_prefix(cls.addClassCleanup)
        cls.regsvr32(cls)

    def wine(self, *arguments, folder=None, check=True):
        run = subprocess.run(LAUNCHER + [*arguments], cwd=folder and folder.path, env=self.environment, capture_output=True,
                             stdin=subprocess.DEVNULL)
        self.assertTrue(run.returncode == 0 or not check, (arguments, run.returncode, run.stdout[:200]))
        return run.stdout.decode("utf-8", "replace")

    def regsvr32(self, *switches):
        subprocess.run(LAUNCHER + ["regsvr32", "/s", *switches, windows_path(WIC_DLL)], env=self.environment, check=True)

    # The classes of a hive: (key, None) for each key and (key, value) for
    # each value, keys in lower case; a 32-bit program's in a 64-bit prefix
    # where they are seen.
    def classes(self, hive):
        entries, key = set(), None
        for line in self.wine("reg", "query", hive + "\\Software\\Classes", "/s", check=False).splitlines():
            if line.startswith("HKEY_"):
                entries.add((key := line.lower().partition("\\classes")[2].removeprefix("\\wow6432node"), None))
            elif line.strip():
                entries.add((key, line.strip()))
        return entries

    # Found by content under its own name and another, read every way
    # (wic_check.cpp) and compared with the converter's bitmap; and drawn
    # as Explorer draws it, by the handler the extension names given the
    # file's bytes as a stream, against the box filter.
    def test_each_picture_decodes_under_any_name(self):
        folder = Folder(self)
        expected = "".join(f"{way} {check} ok\n" for way in ("file", "stream") for check in ("frame", "bgra", "copies", "short"))
        for name, data, rows, palette in codec_pictures():
            folder.write([(name, data), ("other.dat", data), ("expected.bmp", bitmap_of_any_rix(rows, len(rows[0]), palette))])
            for seen in name, "other.dat":
                with self.subTest(name, seen=seen):
                    self.assertEqual(self.wine(WIC_CHECK, "decode", seen, "expected.bmp", folder=folder), expected)
            shown, (shape, pixels) = self.wine(WIC_CHECK, "thumbnail", name, "100", "out", folder=folder), averaged(rows, palette, 100)
            drawn = folder.read("out")
            self.assertEqual((shown.upper(), tuple(int.from_bytes(drawn[at:at + 4], "little") for at in (0, 4))),
                             (f"THUMBNAIL HANDLER {THUMBNAIL_HANDLER}\nTHUMBNAIL BITMAP 32 BITS ALPHA 1\n", shape), name)
            self.assertTrue(drawn[8:] == bytes(c for pixel in pixels for c in pixel), name + ": thumbnail pixels differ")

    # Whatever the converter refuses, up front or once its rows are read:
    # the codec's error as the table says, each way, from the thumbnail
    # handler too, and no crash; a file that is no ColorRIX reaches the
    # codec only when asked for by name, and a name not ColorRIX's has no
    # thumbnail handler.
    def test_refused_files_give_an_error(self):
        folder, table = Folder(self), list(refused_pictures())
        folder.write(table)
        shown = self.wine(WIC_CHECK, "refused", *(name for name, _ in table), folder=folder).splitlines()
        for name, data in table:
            error = BAD_IMAGE if data[:4] == b"RIX3" else BAD_HEADER
            by_content = error if data[:4] == b"RIX3" else "5x2" if data[:2] == b"BM" else NO_DECODER  # the system's own takes a bitmap
            thumbnail = [THUMBNAIL_HANDLER, error] if name[-4:].lower() in CODEC_EXTENSIONS else ["none"]
            self.assertEqual([line.split()[-1].upper() for line in shown if line.startswith(name + " ")],
                             [code.upper() for code in [by_content, by_content, error, *thumbnail]], name)

    # For the user, the same keys under HKCU as for the machine under HKLM;
    # unregistering takes away exactly what registering added, and neither
    # touches another program's values.
    def test_registration_adds_and_removes_only_its_own(self):
        self.regsvr32("/u")
        self.addCleanup(self.regsvr32)
        hives = ("HKLM", "HKCU")
        for hive, value in itertools.product(hives, (["/ve", "/d", "Other.Program"], ["/v", "Content Type", "/d", "image/other"])):
            self.wine("reg", "add", hive + "\\Software\\Classes\\.sci", *value, "/f")
        before = {hive: self.classes(hive) for hive in hives}
        self.regsvr32()
        self.regsvr32("/n", "/i:user")
        after = {hive: self.classes(hive) for hive in hives}
        self.assertEqual([before[hive] - after[hive] for hive in hives], [set(), set()], "values of others changed")
        # The user's keys and values are the machine's, the parents the machine has (CLSID) aside.
        added = [{(key, value and value.split("    ")[0]) for key, value in after[hive] - before[hive]} - {(key, None) for key, _ in before["HKLM"]}
                 for hive in hives]
        self.assertEqual(added[0], added[1])
        handler = "\\shellex\\{e357fccd-a995-4576-b01f-234630154e96}"
        self.assertEqual({(key, value.upper()) for key, value in after["HKLM"] - before["HKLM"] if key.endswith(handler) and value},
                         {(f"\\{extension}{handler}", f"(DEFAULT)    REG_SZ    {THUMBNAIL_HANDLER}") for extension in CODEC_EXTENSIONS})
        self.regsvr32("/u", "/n", "/i:user")
        self.regsvr32("/u")
        self.assertEqual({hive: self.classes(hive) for hive in hives}, before)


QT_PLUGINS = {version: os.environ.get(f"QUORVEL_QT{version}_PLUGINS") for version in (5, 6)}
# Reads each file named through QImageReader three ways: from the file, from
# a device that cannot seek and hands over a few bytes a read (as a network
# reply does), and from a buffer holding it 7 bytes in. Prints each read and
# keeps a picture's colour table and rows, without their padding, in NAME.WAY.
QT_READER = r"""
import sys
from PyQtN.QtCore import QBuffer, QIODevice
from PyQtN.QtGui import QImage, QImageReader
class Pipe(QIODevice):
    def __init__(self, data):
        super().__init__()
        self.data = data
        self.open(QIODevice.OpenModeFlag.ReadOnly)
    def isSequential(self):
        return True
    def readData(self, size):
        chunk, self.data = self.data[:min(size, 4093)], self.data[min(size, 4093):]
        return chunk
def inside(data):
    buffer = QBuffer()
    buffer.setData(bytes(7) + data)
    buffer.open(QIODevice.OpenModeFlag.ReadOnly)
    buffer.seek(7)
    return buffer
for name in sys.argv[1:]:
    data = open(name, "rb").read()
    devices = Pipe(data), inside(data)
    for way, reader in zip(("file", "pipe", "buffer"), (QImageReader(name), *map(QImageReader, devices))):
        found, size = reader.format().data().decode(), reader.size() if way != "pipe" else None  # a pipe's left to read()
        image = reader.read()
        if image.isNull():
            print(name, way, reader.errorString())
            continue
        size, bits, line = image.size() if size is None else size, image.constBits().asstring(image.sizeInBytes()), image.bytesPerLine()
        print(name, way, found, f"{size.width()}x{size.height()}", image.format() == QImage.Format.Format_Indexed8)
        with open(f"{name}.{way}", "wb") as kept:
            kept.write(b"".join(c.to_bytes(4, "little") for c in image.colorTable()))
            kept.write(b"".join(bits[y * line:y * line + image.width()] for y in range(image.height())))
"""


# The Qt plugin of each Qt built, in that Qt's own QImageReader (PyQt), as
# programs reading pictures through Qt use it: every kind of ColorRIX found
# by name and by content (another name, no name), the size asked before the
# rows or not, read into 8-bit indices and the bitmap's colours; whatever
# the converter refuses, up front or once its rows are read, refused.
@unittest.skipUnless(any(os.path.isdir(plugins or "none") for plugins in QT_PLUGINS.values()), "no Qt plugin built")
class QtPlugin(unittest.TestCase):
    def test_pictures_and_refusals_through_qimagereader(self):
        folder, ways, refused = Folder(self), ("file", "pipe", "buffer"), dict(refused_pictures(), **{"text.dat": b"text", "no-rows.rix": rix([], 5)})
        folder.write(refused.items())
        expected, kept = [], {}
        for name, data, rows, palette in codec_pictures():
            folder.write([(name, data), (name + ".dat", data)])
            for seen in name, name + ".dat":
                kept[seen] = b"".join(bytes((b, g, r, 255)) for r, g, b in bitmap_colours(palette)) + b"".join(rows)
                expected += [f"{seen} {way} colorix {len(rows[0])}x{len(rows)} True" for way in ways]
        expected += [f"{name} {way} " + ("Unable to read image data" if data[:4] == b"RIX3" else "bmp 5x2 True" if data[:2] == b"BM"
                                          else "Unsupported image format") for name, data in refused.items() for way in ways]  # Qt's own reads a bitmap
        for version, plugins in QT_PLUGINS.items():
            with self.subTest(qt=version):
                if not os.path.isdir(plugins or "none") or not importlib.util.find_spec(f"PyQt{version}"):
                    self.skipTest(f"no Qt {version} plugin, or no PyQt{version}")
                run = subprocess.run([sys.executable, "-c", QT_READER.replace("PyQtN", f"PyQt{version}"), *kept, *refused], cwd=folder.path,
                                     env=dict(ENVIRONMENT, QT_PLUGIN_PATH=os.path.abspath(plugins)), capture_output=True, text=True)
                self.assertEqual((run.stdout.splitlines(), run.stderr, run.returncode), (expected, "", 0))
                for (name, whole), way in itertools.product(kept.items(), ways):
                    self.assertTrue(folder.read(f"{name}.{way}") == whole, f"{name} {way}: colours or pixels differ")


PAGE = os.environ.get("QUORVEL_PAGE", "none")
try:
    import base64, io, json, zipfile
    from selenium import webdriver
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    webdriver = None
# Each list item of the page: its name, message, the SHA-256 of its canvas's RGB pixels, and of each download's bytes (a
# PNG's pixels); then the archive, in base64.
PAGE_READER = r"""
const done = arguments[0], digest = async (bytes) => [...new Uint8Array(await crypto.subtle.digest('SHA-256', bytes))].map((b) => b.toString(16).padStart(2, '0')).join('');
const rgb = (image) => { const canvas = Object.assign(document.createElement('canvas'), { width: image.width, height: image.height }), context = canvas.getContext('2d');
  if (image !== canvas) context.drawImage(image, 0, 0); return digest(context.getImageData(0, 0, image.width, image.height).data.filter((_, i) => i % 4 !== 3)); };
const blob = async (a) => (await fetch(a.href)).blob(), base64 = (b) => new Promise((ok) => Object.assign(new FileReader(), { onload: (e) => ok(e.target.result.split(',')[1]) }).readAsDataURL(b));
Promise.all([...document.querySelectorAll('#results li')].map(async (item) => [item.dataset.name, item.querySelector('.message').textContent,
  item.querySelector('canvas') && await rgb(item.querySelector('canvas')), Object.fromEntries(await Promise.all([...item.querySelectorAll('a[download]')].map(async (a) =>
    [a.download, a.download.endsWith('.png') ? await rgb(await createImageBitmap(await blob(a))) : await digest(await (await blob(a)).arrayBuffer())])))]))
  .then(async (items) => done([items, await base64(await blob(document.querySelector('#archive a')))]), (error) => done(String(error)));
"""


# The page opened from disk in Debian's chromium (headless, a profile of its own), given files through its input: each
# ColorRIX drawn in its bitmap's colours, each message and download the program's, byte for byte, as one run a file gives
# them (the PNG in the same colours), the archive of them all; no request but for the page's file, its Blobs and data.
@unittest.skipUnless(os.path.exists(PAGE) and webdriver and shutil.which("chromedriver"), "needs the page, selenium and chromium's driver")
class Page(unittest.TestCase):
    def test_pictures_conversions_and_refusals_in_chromium(self):
        folder, sha = Folder(self), lambda data: hashlib.sha256(data).hexdigest()
        # A ColorRIX of any name is converted as the program converts its .rix copy, made in a folder of the program's runs.
        as_rix = lambda name, data: pathlib.Path(name).stem + ".rix" if data[:4] == b"RIX3" and name[-3:].lower() not in ("rix", "bmp") else name
        drawn = {name: sha(b"".join(map([bytes(c) for c in bitmap_colours(palette)].__getitem__, b"".join(rows))))
                 for name, _, rows, palette in codec_pictures()}
        files = {**{name: data for name, data, *_ in codec_pictures()}, **{pathlib.Path(name).stem + ".rix": data for name, data in refused_pictures()},
                 **{name: data for name, data, _ in MALFORMED}, "small.bmp": SMALL_BITMAP}
        folder.write(files.items())
        runs, expected, outputs = Folder(self), {}, {}
        runs.write((as_rix(name, data), data) for name, data in files.items())
        for name, data in files.items():
            message, _ = runs.run(copy := as_rix(name, data))
            outputs.update({output_of(copy): runs.read(output_of(copy))} if runs.read(output_of(copy)) else {})
            picture = drawn.get(name) if output_of(copy) in outputs else None  # drawn, and as a PNG, if converted
            links = {output_of(copy): sha(outputs[output_of(copy)]), **({copy[:-3] + "png": picture} if picture else {})} if output_of(copy) in outputs else {}
            expected[name] = [message, picture, links]
        options = webdriver.ChromeOptions()
        for option in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking", "--disable-component-update",
                       "--disable-sync", "--no-first-run", f"--user-data-dir={folder / 'profile'}"):
            options.add_argument(option)
        options.set_capability("goog:loggingPrefs", {"performance": "ALL", "browser": "ALL"})
        browser = webdriver.Chrome(options=options)
        self.addCleanup(browser.quit)
        browser.get(pathlib.Path(PAGE).absolute().as_uri())
        browser.find_element("id", "files").send_keys("\n".join(folder / name for name in files))
        WebDriverWait(browser, 300).until(lambda _: browser.execute_script("return document.getElementById('announce').textContent"))
        browser.set_script_timeout(300)
        items, archive = browser.execute_async_script(PAGE_READER)
        self.assertEqual({name: shown for name, *shown in items}, expected)
        with zipfile.ZipFile(io.BytesIO(base64.b64decode(archive))) as zipped:
            self.assertTrue({name: zipped.read(name) for name in zipped.namelist()} == outputs, "the archive differs")
        sent = [json.loads(entry["message"])["message"]["params"] for entry in browser.get_log("performance")]  # the browser's start page's aside
        requested = {request["request"]["url"][:40] for request in sent if "request" in request and not request.get("documentURL", "").startswith("chrome:")}
        self.assertEqual({url for url in requested if not url.startswith(("file:", "blob:", "data:"))}, set(), requested)
        self.assertEqual([entry["message"] for entry in browser.get_log("browser")], [])


MSI = os.environ.get("QUORVEL_MSI")
DECODER = "{368cfe9f-23aa-4d70-bab2-b3f3b6c007e9}"


# The installer, run silently under wine in a prefix of its own, then
# removed: the files in Program Files, the folder on the system's PATH, the
# product listed, the codec's classes in each registry view (the 64-bit
# installer registers its 32-bit codec too, for 32-bit programs) and the
# extensions' keys, which both views share; after removal, none of it.
@unittest.skipUnless(MSI and LAUNCHER, "needs an installer (QUORVEL_MSI) and wine")
class Installer(unittest.TestCase):
    def test_install_then_remove(self):
        environment = own_prefix(self.addCleanup)
        wine = lambda *arguments: subprocess.run(LAUNCHER + list(arguments), env=environment, capture_output=True, stdin=subprocess.DEVNULL,
                                                 timeout=300).stdout.decode("utf-8", "replace")

        def value(view, key, name):  # "" where the key or value is missing
            shown = wine("reg", "query", key, *(["/v", name] if name else ["/ve"]), *([f"/reg:{view}"] if view else []))
            return next((line.split("    ")[-1] for line in shown.splitlines() if line.startswith("    ")), "")

        def state():
            path = value(None, r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment", "PATH")
            listed = wine("reg", "query", r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall", "/s", f"/reg:{view}")
            return [[entry for entry in path.split(";") if entry], os.path.isdir(where), "Quorvel" in listed, [value(*row[:3]).lower() for row in rows]]

        view = 64 if "x86_64" in os.path.basename(MSI) else 32
        folder = value(view, r"HKLM\Software\Microsoft\Windows\CurrentVersion", "ProgramFilesDir") + "\\Quorvel\\"
        where = os.path.join(environment["WINEPREFIX"], "drive_c", folder[3:].replace("\\", "/"))
        rows = [(view, f"HKLM\\Software\\Classes\\CLSID\\{DECODER}\\InprocServer32", None, folder + "quorvel-wic.dll"),
                (None, "HKLM\\Software\\Classes\\.rix\\ShellEx\\{e357fccd-a995-4576-b01f-234630154e96}", None, THUMBNAIL_HANDLER)]
        rows += [(32, rows[0][1], None, folder + "x86\\quorvel-wic.dll")] * (view == 64)
        path, *_ = before = state()
        wine("msiexec", "/i", package := windows_path(MSI), "/qn")
        self.assertEqual(state(), [path + [folder], True, True, [row[3].lower() for row in rows]])
        self.assertEqual(sorted(os.listdir(where)), ["LICENSE", "README.md", "quorvel-wic.dll", "quorvel.exe"] + ["x86"] * (view == 64))
        wine("msiexec", "/x", package, "/qn")
        self.assertEqual(state(), before)


if __name__ == "__main__":
    result = unittest.main(exit=False).result
    skipped_whole = result.testsRun == len(result.skipped) > 0
    sys.exit(77 if skipped_whole else 0 if result.wasSuccessful() else 1)  # 77: skipped, for CTest

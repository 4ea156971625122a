#!/usr/bin/env python3
"""Times quorvel against copying the same bytes.

Makes its own inputs in a folder on a memory file system (/dev/shm, so that
the disk's own noise stays out; --work DIR chooses another), checks each
conversion's output byte for byte against what the picture must become,
then runs the converter and the copies it is held against alternately,
several times, and prints the median wall times and their ratios:

- the floor: the same bytes copied once, without reordering, by
  bench/floor.cpp, the input mapped and written at once or read and written
  through one buffer, whichever is faster here (over an older output of the
  same size); no converter can do less;
- `cat in > out`, and for a batch one `cp` of all the files.

Every conversion runs over the output its previous run left, as a user
converting again does. The sweep takes both directions over shapes as large
as 16-bit sizes allow up to 64 MiB, wide and narrow, with widths that put a
row's start at every distance from the page size; shapes of 16 MiB or more
are held to 1.3 x the floor (1.15 aimed at), the smaller ones reported.
Then one 640 x 480 picture against cat, 200 of them in one run against one
cp, peak resident memory, and ImageMagick where it is installed. Last,
compressed ColorRIX pictures (as the paint program saves them) against the
same pictures stored a byte a pixel: an 8192 x 8192 drawing (long runs, few
symbols, held to 2 x), an 8192 x 8192 photograph-like picture (a symbol a
pixel, held to 10 x), and 200 compressed 320 x 200 drawings in one run
against one cp of their bitmaps (held to 1.0 x); then run-length bitmaps
(RLE8, RLE4) of 8192 x 8192, of long runs, absolute runs and runs of 1 to 3
pixels, against the floor of copying their output (held to 1.5 x, 1.5 x and
5 x) and against ImageMagick writing them uncompressed; thumbnails; and
8192 x 8192 pictures loaded through the gdk-pixbuf loader and the Qt 6
plugin beside the converter (held to 2 x the conversion, 16 MiB beside the
pixels), each beside a blank picture of the same size made by the same
library, the least any load costs.

    python3 bench/bench.py [path/to/quorvel] [--runs N] [--work DIR] [--only TEXT] [--quick]

--only keeps the sweep's cases whose label holds TEXT (8191x, rix>bmp...)
and skips the rest of the benchmark; "compressed", "rle", "thumbnail" and
"small" (the 640 x 480 files) run those pictures alone. "wic" times the
Windows codec under wine instead, from the folder of a 64-bit Windows build
named in place of the program:

    python3 bench/bench.py build-win64 --only wic

--quick runs every part once on pictures of 256 x 256 and batches of 5, and
holds nothing to its target: a check that the benchmark still works.
"""
import argparse
import os
import pathlib
import random
import re
import shutil
import statistics
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SWEEP = [(8192, 8192), (8191, 8192), (4096, 16383), (4096, 16384), (2048, 32767), (1024, 65535), (1001, 65535),
         (640, 65535), (384, 65535), (383, 65535), (65535, 1024), (101, 65535), (3, 65535)]
HELD = 16 << 20  # pixel bytes from which a shape is held to the floor
SIDE, BATCH = 8192, 200  # the large pictures' side, and how many small files a batch holds (--quick: fewer, smaller)
TARGET, AIM = 1.3, 1.15

# Rows are one base row shifted through these tables: fast enough for
# pictures of 64 MiB, and neighbouring rows always differ.
SHIFT = [bytes((i + c) & 255 for i in range(256)) for c in range(256)]


def row_maker(width):
    base = bytes((x * 5) & 255 for x in range(width))
    return lambda y: base.translate(SHIFT[(31 * y + (y >> 8)) & 255])


RIX_PALETTE = [((i * 7) & 63, (i * 7 + 1) & 63, (i * 7 + 2) & 63) for i in range(256)]
BMP_PALETTE = [(i, 255 - i, i // 2) for i in range(256)]  # red, green, blue


def rix_parts(width, height, palette):
    row = row_maker(width)
    yield b"RIX3" + struct.pack("<HHH", width, height, 175) + bytes(c for e in palette for c in e)
    for y in range(height):
        yield row(y)


def bmp_parts(width, height, palette, core=False):
    row, padded = row_maker(width), (width + 3) & ~3
    entries = bytes(c for r, g, b in palette for c in ((b, g, r) if core else (b, g, r, 0)))
    off_bits = 14 + (12 if core else 40) + len(entries)
    yield b"BM" + struct.pack("<IHHI", off_bits + padded * height, 0, 0, off_bits)
    if core:
        yield struct.pack("<IHHHH", 12, width, height, 1, 8)
    else:
        yield struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 0, padded * height, 2835, 2835, 256, 0)
    yield entries
    for y in reversed(range(height)):
        yield row(y) + bytes(padded - width)


# A ColorRIX and what it must become, or a bitmap and what it must become.
def to_bitmap(width, height):
    widened = [tuple(c << 2 for c in entry) for entry in RIX_PALETTE]
    return rix_parts(width, height, RIX_PALETTE), bmp_parts(width, height, widened, core=True)


def to_rix(width, height):
    narrowed = [tuple(c >> 2 for c in entry) for entry in BMP_PALETTE]
    return bmp_parts(width, height, BMP_PALETTE), rix_parts(width, height, narrowed)


def write(path, parts):
    with open(path, "wb") as out:
        for part in parts:
            out.write(part)
    return path


def matches(path, parts):
    with open(path, "rb") as produced:
        for part in parts:
            if produced.read(len(part)) != part:
                return False
        return produced.read(1) == b""


def timed(command, cwd):
    """Wall time of one run. A command ending in [">", file] has its
    standard output sent to that file, as the shell would do it, without
    starting a shell."""
    target = os.devnull
    if len(command) > 2 and command[-2] == ">":
        command, target = command[:-2], os.path.join(cwd, command[-1])
    actions = [(os.POSIX_SPAWN_OPEN, 1, target, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644),
               (os.POSIX_SPAWN_OPEN, 2, os.devnull, os.O_WRONLY, 0)]
    here = os.getcwd()
    os.chdir(cwd)
    start = time.perf_counter()
    pid = os.posix_spawnp(command[0], command, os.environ, file_actions=actions)
    _, status = os.waitpid(pid, 0)
    elapsed = time.perf_counter() - start
    os.chdir(here)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("failed: " + " ".join(command))
    return elapsed


def medians(commands, runs, cwd):
    """Median wall times of the commands, run alternately after a warm-up."""
    times = [[] for _ in commands]
    for command in commands:
        timed(command, cwd)
    for _ in range(runs):
        for command, samples in zip(commands, times):
            samples.append(timed(command, cwd))
    return [statistics.median(samples) for samples in times]


def peak_rss(command, cwd):
    """Peak resident memory of one run in MiB, as GNU time reports it: its
    own small process forks the child, so the figure is the program's."""
    report = subprocess.run(["/usr/bin/time", "-f", "%M"] + command, cwd=cwd, check=True,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True).stderr
    return int(report.split()[-1]) / 1024


def floor_program(work):
    """bench/floor.cpp, built once into the work folder."""
    source, program = os.path.join(HERE, "floor.cpp"), os.path.join(work, "copy_floor")
    if not os.path.exists(program) or os.path.getmtime(program) < os.path.getmtime(source):
        subprocess.run(["c++", "-O2", "-o", program, source], check=True)
    return program


def converted(quorvel, work, name, input_parts, expected_parts):
    """Writes the input, converts it once and checks the output byte for byte."""
    path = write(os.path.join(work, name), input_parts)
    output = path[:-3] + ("bmp" if name.endswith(".rix") else "rix")
    subprocess.run([quorvel, path], cwd=work, check=True, stdout=subprocess.DEVNULL)
    if not matches(output, expected_parts):
        sys.exit(f"{output} differs from what {name} must become")
    return path, output


def sweep(quorvel, floor, work, runs, only):
    held = []
    print(f"{'shape':<22}{'quorvel':>10}{'floor':>10}{'ratio':>7}{'cat':>10}{'ratio':>7}{'peak RSS':>11}")
    for width, height in SWEEP:
        for direction, make, suffix in (("rix>bmp", to_bitmap, "rix"), ("bmp>rix", to_rix, "bmp")):
            label = f"{width}x{height} {direction}"
            if only and only not in label:
                continue
            path, output = converted(quorvel, work, f"sweep.{suffix}", *make(width, height))
            ours, mapped, buffered, cat = medians([[quorvel, path], [floor, path, "floor.out"],
                                                   [floor, "--buffered", path, "floor.out"],
                                                   ["cat", path, ">", "cat.out"]], runs, work)
            floor_time = min(mapped, buffered)
            peak = peak_rss([quorvel, path], work)
            size_note = "" if width * height >= HELD else "  (small: reported, not held)"
            print(f"{label:<22}{ours * 1e3:8.2f}ms{floor_time * 1e3:8.2f}ms{ours / floor_time:7.2f}"
                  f"{cat * 1e3:8.2f}ms{ours / cat:7.2f}{peak:7.1f} MiB{size_note}", flush=True)
            if width * height >= HELD:
                held.append((ours / floor_time, label))
            for name in path, output, os.path.join(work, "floor.out"), os.path.join(work, "cat.out"):
                os.remove(name)
    if held:
        worst = max(held)
        print(f"held shapes: {sum(r <= TARGET for r, _ in held)} of {len(held)} within {TARGET} x the floor, "
              f"{sum(r <= AIM for r, _ in held)} within {AIM}; worst {worst[0]:.2f} ({worst[1]}), "
              f"median {statistics.median(r for r, _ in held):.2f}")


def has_imagemagick():
    """Whether `convert` is ImageMagick's, not a stand-in of the same name."""
    return bool(shutil.which("convert")) and subprocess.run(["convert", "-version"], capture_output=True, text=True
                                                            ).stdout.startswith("Version: ImageMagick")


def imagemagick(quorvel, work, path):
    """How much faster than ImageMagick writing the same picture as an
    uncompressed 8-bit bitmap, where ImageMagick is installed."""
    if not has_imagemagick():
        print("ImageMagick: not installed, not compared")
        return
    theirs = statistics.median(timed(["convert", path, "-type", "Palette", "-compress", "none",
                                      "BMP3:imagemagick.bmp"], work) for _ in range(3))
    ours = statistics.median(timed([quorvel, path], work) for _ in range(5))
    print(f"ImageMagick, {SIDE} x {SIDE} bitmap to an 8-bit bitmap: {theirs * 1000:.0f} ms, "
          f"{theirs / ours:.0f} x quorvel's time to convert it", flush=True)


def small_files(quorvel, work, runs):
    path, _ = converted(quorvel, work, "640x480.rix", *to_bitmap(640, 480))
    ours, cat = medians([[quorvel, path], ["cat", path, ">", "640x480.copy"]], runs, work)
    print(f"640x480.rix: quorvel {ours * 1e3:.2f} ms, cat {cat * 1e3:.2f} ms, ratio {ours / cat:.2f} (target 1.25)")
    batch, copies = os.path.join(work, "batch"), os.path.join(work, "batch-copies")
    os.makedirs(batch, exist_ok=True)
    os.makedirs(copies, exist_ok=True)
    names = [f"card{i:03}.bmp" for i in range(BATCH)]
    write(os.path.join(batch, names[0]), bmp_parts(640, 480, BMP_PALETTE))
    for name in names[1:]:
        shutil.copyfile(os.path.join(batch, names[0]), os.path.join(batch, name))
    ours, cp = medians([[quorvel] + names, ["cp", "-t", copies] + names], runs, batch)
    print(f"{BATCH} x 640x480.bmp in one run: quorvel {ours * 1e3:.2f} ms, one cp {cp * 1e3:.2f} ms, "
          f"ratio {ours / cp:.2f} (target 1.0); peak RSS {peak_rss([quorvel] + names, batch):.1f} MiB")


# Compressed ColorRIX pixels: the XOR filter, run-length coding (0x00 and
# 0xFF escaped with a count), and a code tree of all 256 symbols at depth 8,
# so that each symbol's code is a byte and coding is a translation. A
# segment holds `per` rows.
RUNS = re.compile(rb"\x00{1,256}|\xff{1,256}|[^\x00\xff]+")


def byte_tree():
    def items(first, count):
        if count == 1:
            return [0x1000 + first]
        one = items(first, count // 2)  # the 1-branch first: symbol 0's code is 11111111
        return [2 * len(one)] + one + items(first + count // 2, count // 2)
    return items(0, 256), bytes(255 - s for s in range(256))


def compressed_rix_parts(width, height, row, per):
    items, codes = byte_tree()
    yield b"RIX3" + struct.pack("<HHBB", width, height, 0xAF, 0x80) + bytes(c for e in RIX_PALETTE for c in e)
    yield struct.pack(f"<H{len(items)}H", len(items), *items)
    for first in range(0, height, per):
        stream = b"".join(row(y) for y in range(first, min(height, first + per)))
        value = int.from_bytes(stream, "big")
        filtered = (value ^ (value >> 8)).to_bytes(len(stream), "big")
        units = b"".join(m if m[0] not in (0, 255) else bytes((m[0], len(m) - 1))
                         for m in (match.group() for match in RUNS.finditer(filtered)))
        data = units.translate(codes)
        assert len(data) < 65536, "a segment holds at most 65535 bytes"
        yield struct.pack("<H", len(data)) + data


def drawing_row(width):
    """Bands of colour 700 wide and 900 high: after the filter, long runs of zeros."""
    return lambda y: bytes(((x // 700) * 16 + (y // 900) * 3) % 250 + 1 for x in range(width))


def photograph_row(width):
    """Noise: after the filter, a symbol a pixel."""
    noise = random.Random(7).randbytes(width + 256)
    return lambda y: noise[y % 256:y % 256 + width]


def photographs(prefix):
    """The SIDE x SIDE photograph-like picture, stored a byte a pixel and
    compressed (a segment every 7 rows): (name, parts) of each."""
    row = photograph_row(SIDE)
    cached = {}
    rows = lambda y: cached.setdefault(y, row(y))
    return ((f"{prefix}-stored.rix", rix_parts_of(SIDE, SIDE, rows)),
            (f"{prefix}-compressed.rix", compressed_rix_parts(SIDE, SIDE, rows, 7)))


def compressed_pictures(quorvel, work, runs):
    for name, width, height, maker, per, target in (("drawing", SIDE, SIDE, drawing_row, 512, 2.0),
                                                    ("photograph", SIDE, SIDE, photograph_row, 7, 10.0)):
        row = maker(width)
        cached = {}
        rows = lambda y: cached.setdefault(y if name == "photograph" else (y // 900), row(y))
        packed = write(os.path.join(work, f"{name}.rix"), compressed_rix_parts(width, height, rows, per))
        stored = write(os.path.join(work, f"{name}-stored.rix"), rix_parts_of(width, height, rows))
        for path in packed, stored:
            subprocess.run([quorvel, path], cwd=work, check=True, stdout=subprocess.DEVNULL)
        if not same_file(packed[:-3] + "bmp", stored[:-3] + "bmp"):
            sys.exit(f"{name}.rix does not become the bitmap of the same picture stored")
        ours, plain = medians([[quorvel, packed], [quorvel, stored]], runs, work)
        print(f"compressed {width} x {height} {name}: {ours * 1e3:.1f} ms, stored {plain * 1e3:.1f} ms, "
              f"ratio {ours / plain:.2f} (target {target}); peak RSS {peak_rss([quorvel, packed], work):.1f} MiB", flush=True)
    batch, copies = os.path.join(work, "compressed-batch"), os.path.join(work, "compressed-copies")
    os.makedirs(batch, exist_ok=True)
    os.makedirs(copies, exist_ok=True)
    row = drawing_row(320)
    names = [f"pic{i:03}.rix" for i in range(BATCH)]
    write(os.path.join(batch, names[0]), compressed_rix_parts(320, 200, lambda y: row(y * 30), 50))
    for name in names[1:]:
        shutil.copyfile(os.path.join(batch, names[0]), os.path.join(batch, name))
    subprocess.run([quorvel] + names, cwd=batch, check=True, stdout=subprocess.DEVNULL)
    bitmaps = [name[:-3] + "bmp" for name in names]
    ours, cp = medians([[quorvel] + names, ["cp", "-t", copies] + bitmaps], runs, batch)
    print(f"{BATCH} x 320x200 compressed .rix in one run: quorvel {ours * 1e3:.2f} ms, one cp of their bitmaps "
          f"{cp * 1e3:.2f} ms, ratio {ours / cp:.2f} (target 1.0)")


def thumbnails(quorvel, work, runs):
    """The thumbnail (256 x 256) of 8192 x 8192 pictures, stored and
    compressed, against their conversion to a bitmap."""
    thumbnailer = os.path.join(os.path.dirname(quorvel), "quorvel-thumbnailer")
    if not os.path.exists(thumbnailer):
        return print("thumbnails: no quorvel-thumbnailer beside the converter (built where libpng is found)")
    for name, parts in photographs("thumb"):
        path = write(os.path.join(work, name), parts)
        drawn = [thumbnailer, "-s", "256", path, path[:-3] + "png"]
        ours, conversion = medians([drawn, [quorvel, path]], runs, work)
        print(f"thumbnail of {SIDE} x {SIDE} {name[6:-4]}: {ours * 1e3:.1f} ms, conversion {conversion * 1e3:.1f} ms, "
              f"ratio {ours / conversion:.2f} (target 2); peak RSS {peak_rss(drawn, work):.1f} MiB "
              f"(converter {peak_rss([quorvel, path], work):.1f} MiB)", flush=True)


def wic_reads(windows, work, runs):
    """8192 x 8192 ColorRIX pictures, stored and compressed, read whole
    through the Windows Imaging Component under wine (bench/wic_read.cpp,
    the codec registered for the run), against quorvel.exe converting them
    under wine; and the memory the read takes beside the caller's buffer."""
    wine = "/usr/lib/wine/wine64"
    codec, program = os.path.join(windows, "quorvel-wic.dll"), os.path.join(windows, "quorvel.exe")
    reader = os.path.join(work, "wic_read.exe")
    subprocess.run(["x86_64-w64-mingw32-g++", "-O2", "-municode", "-static", "-o", reader, os.path.join(HERE, "wic_read.cpp"),
                    "-lole32", "-lwindowscodecs", "-lpsapi", "-luuid"], check=True)
    os.environ["WINEDEBUG"] = "-all"
    subprocess.run(["/usr/lib/wine/wineserver", "-p30"])  # one server for every run, none started by a timed one
    subprocess.run([wine, "regsvr32", "/s", codec], check=True)
    try:
        for name, parts in photographs("wic"):
            path = write(os.path.join(work, name), parts)
            read, conversion = medians([[wine, reader, path], [wine, program, path]], runs, work)
            memory = int(subprocess.run([wine, reader, "--memory", path], cwd=work, check=True, capture_output=True, text=True).stdout)
            print(f"WIC read of {SIDE} x {SIDE} {name[4:-4]}: {read * 1e3:.1f} ms, quorvel.exe's conversion {conversion * 1e3:.1f} ms, "
                  f"ratio {read / conversion:.2f} (target 2); memory beside the caller's buffer {memory / 1024:.1f} MiB "
                  f"(target 16)", flush=True)
    finally:
        subprocess.run([wine, "regsvr32", "/s", "/u", codec], check=True)


# Loads a picture as a viewer does, in the process that measures: through
# gdk-pixbuf (a GdkPixbuf from the file) or Qt 6 (a QImage through
# QImageReader), or, for "empty", makes a blank picture of the same size in
# the same library, the least any load of it costs. Prints the seconds it
# took and the growth of peak memory beside the picture's own bytes.
VIEWER_LOAD = r"""
import resource, sys, time
library, way, path, width, height = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
if library == "pixbuf":
    import gi
    gi.require_version("GdkPixbuf", "2.0")
    from gi.repository import GdkPixbuf
    load = lambda: GdkPixbuf.Pixbuf.new_from_file(path)
    empty = lambda: GdkPixbuf.Pixbuf.new(GdkPixbuf.Colorspace.RGB, False, 8, width, height).fill(0)
    size = 3 * width * height
else:
    from PyQt6.QtGui import QImage, QImageReader
    load = lambda: QImageReader(path).read()
    empty = lambda: QImage(width, height, QImage.Format.Format_Indexed8).fill(0)
    size = width * height
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
picture = load() if way == "load" else empty()
took = time.perf_counter() - start
print(took, max(0, (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024 - size))
"""


def viewers(quorvel, work, runs):
    """SIDE x SIDE ColorRIX pictures, stored and compressed, loaded whole
    through the gdk-pixbuf loader and the Qt 6 plugin of the build beside
    the converter, against their conversion and against a blank picture of
    the same size made by the same library."""
    build = os.path.dirname(quorvel)
    loader, plugins = os.path.join(build, "modules/gdk-pixbuf/libpixbufloader-colorix.so"), os.path.join(build, "qt6")
    environment = dict(os.environ, QT_PLUGIN_PATH=plugins, QT_IMAGEIO_MAXALLOC="4096", XDG_DATA_DIRS=f"{work}/share:/usr/share",
                       GDK_PIXBUF_MODULE_FILE=os.path.join(work, "loaders.cache"))
    os.makedirs(os.path.join(work, "share/mime/packages"), exist_ok=True)
    shutil.copy(os.path.join(HERE, "../packaging/quorvel.xml"), os.path.join(work, "share/mime/packages"))
    subprocess.run(["update-mime-database", os.path.join(work, "share/mime")], check=True, capture_output=True)
    query = "/usr/lib/x86_64-linux-gnu/gdk-pixbuf-2.0/gdk-pixbuf-query-loaders"
    with open(environment["GDK_PIXBUF_MODULE_FILE"], "wb") as cache:
        subprocess.run([query, loader], stdout=cache, check=True)
    for name, parts in photographs("view"):
        path = write(os.path.join(work, name), parts)
        conversion = medians([[quorvel, path]], runs, work)[0]
        for library, label in (("pixbuf", "GdkPixbuf"), ("qt", "Qt 6 QImage")):
            run = lambda way: [float(field) for field in subprocess.run(
                [sys.executable, "-c", VIEWER_LOAD, library, way, path, str(SIDE), str(SIDE)], env=environment, check=True,
                capture_output=True, text=True).stdout.split()]
            loads, blanks = [run("load") for _ in range(runs)], [run("empty") for _ in range(runs)]
            took, blank = statistics.median(t for t, _ in loads), statistics.median(t for t, _ in blanks)
            memory = max(m for _, m in loads) / (1 << 20)
            print(f"{label} of {SIDE} x {SIDE} {name[5:-4]}: {took * 1e3:.1f} ms, conversion {conversion * 1e3:.1f} ms, ratio "
                  f"{took / conversion:.2f} (target 2); a blank one {blank * 1e3:.1f} ms; memory beside the pixels {memory:.1f} MiB "
                  f"(target 16)", flush=True)


# Times the page in the browser, through selenium: from a file given to
# its input to the picture drawn (`canvas`), or the conversion's own time
# as its worker measures it (`took`).
PAGE_WATCH = r"""
const [what, done] = arguments, input = document.getElementById('files');
let start = 0;
input.addEventListener('change', () => { start = performance.now(); }, { once: true });
const observer = new MutationObserver(() => {
  const item = document.querySelector('#results li[data-took]');
  if (!start || !item || (what === 'canvas' && !item.querySelector('canvas'))) return;
  observer.disconnect();
  done(what === 'canvas' ? performance.now() - start : Number(item.dataset.took));
});
observer.observe(document.body, { childList: true, subtree: true, attributes: true });
"""


def page(quorvel, work, runs):
    """The page (build-wasm/web/quorvel.html) in headless chromium: a
    640 x 480 ColorRIX drawn, and a SIDE x SIDE one converted, against the
    native program converting it."""
    try:
        from selenium import webdriver
    except ImportError:
        return print("page: no selenium here (Debian's python3-selenium)")
    html = os.path.join(HERE, "..", "build-wasm", "web", "quorvel.html")
    if not os.path.exists(html):
        return print("page: not built (cmake --preset wasm && cmake --build --preset wasm)")
    options = webdriver.ChromeOptions()
    for option in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking", "--disable-component-update",
                   "--disable-sync", "--no-first-run", f"--user-data-dir={work}/chromium"):
        options.add_argument(option)
    browser = webdriver.Chrome(options=options)
    browser.set_script_timeout(300)

    def measured(path, what):
        browser.get(pathlib.Path(html).resolve().as_uri())
        browser.execute_script("window.watched = new Promise((done) => new Function(arguments[0]).call(null, arguments[1], done))",
                               PAGE_WATCH.replace("arguments", "[...arguments]"), what)
        browser.find_element("id", "files").send_keys(path)
        return browser.execute_async_script("window.watched.then(arguments[0])") / 1e3

    try:
        card = write(os.path.join(work, "page-card.rix"), rix_parts_of(640, 480, row_maker(640)))
        shown = statistics.median(measured(card, "canvas") for _ in range(runs))
        print(f"page: a 640 x 480 ColorRIX drawn {shown * 1e3:.0f} ms after it is given (target 100)", flush=True)
        big = write(os.path.join(work, "page-big.rix"), rix_parts_of(SIDE, SIDE, row_maker(SIDE)))
        took, native = statistics.median(measured(big, "took") for _ in range(runs)), medians([[quorvel, big]], runs, work)[0]
        print(f"page: a {SIDE} x {SIDE} ColorRIX converted in {took * 1e3:.0f} ms, the program {native * 1e3:.0f} ms, "
              f"ratio {took / native:.2f} (target 3)", flush=True)
    finally:
        browser.quit()


def rix_parts_of(width, height, row):
    yield b"RIX3" + struct.pack("<HHH", width, height, 175) + bytes(c for e in RIX_PALETTE for c in e)
    for y in range(height):
        yield row(y)


def same_file(a, b):
    with open(a, "rb") as first, open(b, "rb") as second:
        while True:
            x, y = first.read(1 << 20), second.read(1 << 20)
            if x != y:
                return False
            if not x:
                return True


# Run-length bitmaps of 8192 x 8192, each against the floor of copying its
# output, and ImageMagick writing the same picture uncompressed.
RLE_TARGETS = {"long runs": 1.5, "absolute runs": 1.5, "runs of 1 to 3": 5.0}


def rle_row(row, bits, style):
    """A row as RLE8 or RLE4: absolute runs of up to 255 pixels ("absolute",
    but for the last 2 pixels or fewer), else a coded run for each run of
    equal pixels."""
    out, x = bytearray(), 0
    while x < len(row):
        n = min(255, len(row) - x)
        if style == "absolute" and n >= 3:
            data = row[x:x + n] if bits == 8 else bytes(row[i] << 4 | (row[i + 1] if i + 1 < x + n else 0) for i in range(x, x + n, 2))
            out += bytes((0, n)) + data + b"\0" * (len(data) % 2)
        else:
            n = next((k for k in range(1, n) if row[x + k] != row[x]), n)
            out += bytes((n, row[x] if bits == 8 else row[x] * 17))
        x += n
    return bytes(out)


def rle_pictures(quorvel, floor, work, runs):
    size = SIDE
    styles = {"long runs": "runs", "absolute runs": "absolute", "runs of 1 to 3": "short"}
    for bits in 8, 4:
        for label, style in styles.items():
            mask = 255 if bits == 8 else 15
            if style == "runs":  # bands of one value, 300 wide
                make = lambda y: bytes(((x // 300) * 7 + y // 64) & mask for x in range(size))
            elif style == "short":  # runs of 1, 2 and 3 pixels in turn, each of another value
                make = lambda y: bytes(((x // 6 * 3 + (0, 1, 1, 2, 2, 2)[x % 6]) * 5 + y) & mask for x in range(size))
            else:
                make = lambda y: bytes((x * 5 + y) & mask for x in range(size))
            cache = {}
            row = lambda y: cache.setdefault(y % 64, make(y % 64))
            coded = {}
            stream = lambda y: coded.setdefault(y % 64, rle_row(row(y), bits, style) + b"\0\0")
            name = f"rle{bits}-{style}"
            path = write(os.path.join(work, name + ".bmp"), rle_parts(size, bits, stream))
            plain = write(os.path.join(work, name + "-plain.bmp"), plain_parts(size, bits, row))
            for source in path, plain:
                subprocess.run([quorvel, source], cwd=work, check=True, stdout=subprocess.DEVNULL)
            if not same_file(path[:-3] + "rix", plain[:-3] + "rix"):
                sys.exit(f"{name}.bmp does not become the ColorRIX of the same picture uncompressed")
            output = path[:-3] + "rix"
            ours, mapped, buffered = medians([[quorvel, path], [floor, output, "floor.out"],
                                              [floor, "--buffered", output, "floor.out"]], runs, work)
            floor_time = min(mapped, buffered)
            print(f"RLE{bits} {size} x {size}, {label}: {ours * 1e3:.1f} ms, floor {floor_time * 1e3:.1f} ms "
                  f"(mapped {mapped * 1e3:.1f}, buffered {buffered * 1e3:.1f}), ratio {ours / floor_time:.2f} "
                  f"(target {RLE_TARGETS[label]}); peak RSS {peak_rss([quorvel, path], work):.1f} MiB", flush=True)
            if has_imagemagick():
                theirs = timed(["convert", path, "-compress", "none", "BMP3:imagemagick.bmp"], work)
                print(f"  ImageMagick to an uncompressed bitmap: {theirs * 1e3:.0f} ms, {theirs / ours:.0f} x quorvel's time")
            for leftover in (path, plain, output, plain[:-3] + "rix"):
                os.remove(leftover)


def rle_parts(size, bits, stream):
    palette = b"".join(bytes((b, g, r, 0)) for r, g, b in BMP_PALETTE[:1 << bits])
    coded = [stream(y) for y in range(64)]
    length = sum(len(coded[y % 64]) for y in range(size)) + 2
    off_bits = 14 + 40 + len(palette)
    yield b"BM" + struct.pack("<IHHI", off_bits + length, 0, 0, off_bits)
    yield struct.pack("<IiiHHIIiiII", 40, size, size, 1, bits, 1 if bits == 8 else 2, length, 2835, 2835, 1 << bits, 0)
    yield palette
    for y in reversed(range(size)):
        yield coded[y % 64]
    yield b"\0\1"


def plain_parts(size, bits, row):
    palette = b"".join(bytes((b, g, r, 0)) for r, g, b in BMP_PALETTE[:1 << bits])
    stored = size * bits // 8
    off_bits = 14 + 40 + len(palette)
    yield b"BM" + struct.pack("<IHHI", off_bits + stored * size, 0, 0, off_bits)
    yield struct.pack("<IiiHHIIiiII", 40, size, size, 1, bits, 0, stored * size, 2835, 2835, 1 << bits, 0)
    yield palette
    for y in reversed(range(size)):
        data = row(y)
        yield data if bits == 8 else bytes(data[i] << 4 | data[i + 1] for i in range(0, size, 2))


def main():
    global SIDE, BATCH, SWEEP
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0], formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog=__doc__.split("\n\n", 1)[1])
    parser.add_argument("program", nargs="?", help="the converter (default build/quorvel); for --only wic, a 64-bit Windows build's folder")
    parser.add_argument("--runs", type=int, default=11, help="timed runs of each command (default 11)")
    parser.add_argument("--work", default="/dev/shm/quorvel-bench", help="where the inputs are made")
    parser.add_argument("--only", default="", help="sweep cases whose label holds TEXT, or: compressed, rle, thumbnail, small, viewers, page, wic")
    parser.add_argument("--quick", action="store_true", help="every part once on small pictures: that the benchmark still works")
    options = parser.parse_args()
    if options.quick:
        SIDE, BATCH, SWEEP, options.runs = 256, 5, [(256, 256), (255, 3)], 1
    runs, work, only = options.runs, options.work, options.only
    os.makedirs(work, exist_ok=True)
    if only == "wic":  # the Windows codec under wine
        return wic_reads(os.path.abspath(options.program or os.path.join(HERE, "..", "build-win64")), work, runs)
    quorvel = os.path.abspath(options.program or os.path.join(HERE, "..", "build", "quorvel"))
    parts = {"compressed": compressed_pictures, "thumbnail": thumbnails, "small": small_files, "viewers": viewers, "page": page,
             "rle": lambda *arguments: rle_pictures(quorvel, floor_program(work), work, runs)}
    if only in parts:  # those pictures alone
        return parts[only](quorvel, work, runs)
    sweep(quorvel, floor_program(work), work, runs, only)
    if only:
        return
    small_files(quorvel, work, runs)
    if not options.quick:
        path, _ = converted(quorvel, work, f"{SIDE}x{SIDE}.bmp", *to_rix(SIDE, SIDE))
        imagemagick(quorvel, work, path)
    compressed_pictures(quorvel, work, runs)
    rle_pictures(quorvel, floor_program(work), work, runs)
    thumbnails(quorvel, work, runs)
    viewers(quorvel, work, runs)
    page(quorvel, work, runs)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Times quorvel against copying the same bytes.

Makes its own inputs in a folder on a memory file system (/dev/shm, so that
the disk's own noise stays out; --work DIR chooses another), checks each
conversion's output byte for byte against what the picture must become,
then runs the converter and the copies it is held against alternately,
several times, and prints the median wall times and their ratios:

- the floor: the same bytes copied once, without reordering, by
  bench/floor.cpp (the input mapped, one write over an older output of the
  same size); no converter can do less;
- `cat in > out`, and for a batch one `cp` of all the files.

Every conversion runs over the output its previous run left, as a user
converting again does. The sweep takes both directions over shapes as large
as 16-bit sizes allow up to 64 MiB, wide and narrow, with widths that put a
row's start at every distance from the page size; shapes of 16 MiB or more
are held to 1.3 x the floor (1.15 aimed at), the smaller ones reported.
Then one 640 x 480 picture against cat, 200 of them in one run against one
cp, peak resident memory, and ImageMagick where it is installed.

    python3 bench/bench.py [path/to/quorvel] [--runs N] [--work DIR] [--only TEXT]

--only keeps the sweep's cases whose label holds TEXT (8191x, rix>bmp...)
and skips the rest of the benchmark.
"""
import os
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
            ours, floor_time, cat = medians([[quorvel, path], [floor, path, "floor.out"],
                                             ["cat", path, ">", "cat.out"]], runs, work)
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


def imagemagick(quorvel, work, path):
    """How much faster than ImageMagick writing the same picture as an
    uncompressed 8-bit bitmap, where ImageMagick is installed."""
    version = subprocess.run(["convert", "-version"], capture_output=True, text=True).stdout \
        if shutil.which("convert") else ""
    if "ImageMagick" not in version:
        print("ImageMagick: not installed, not compared")
        return
    theirs = statistics.median(timed(["convert", path, "-type", "Palette", "-compress", "none",
                                      "BMP3:imagemagick.bmp"], work) for _ in range(3))
    ours = statistics.median(timed([quorvel, path], work) for _ in range(5))
    print(f"ImageMagick, 8192 x 8192 bitmap to an 8-bit bitmap: {theirs * 1000:.0f} ms, "
          f"{theirs / ours:.0f} x quorvel's time to convert it", flush=True)


def small_files(quorvel, work, runs):
    path, _ = converted(quorvel, work, "640x480.rix", *to_bitmap(640, 480))
    ours, cat = medians([[quorvel, path], ["cat", path, ">", "640x480.copy"]], runs, work)
    print(f"640x480.rix: quorvel {ours * 1e3:.2f} ms, cat {cat * 1e3:.2f} ms, ratio {ours / cat:.2f} (target 1.25)")
    batch, copies = os.path.join(work, "batch"), os.path.join(work, "batch-copies")
    os.makedirs(batch, exist_ok=True)
    os.makedirs(copies, exist_ok=True)
    names = [f"card{i:03}.bmp" for i in range(200)]
    write(os.path.join(batch, names[0]), bmp_parts(640, 480, BMP_PALETTE))
    for name in names[1:]:
        shutil.copyfile(os.path.join(batch, names[0]), os.path.join(batch, name))
    ours, cp = medians([[quorvel] + names, ["cp", "-t", copies] + names], runs, batch)
    print(f"200 x 640x480.bmp in one run: quorvel {ours * 1e3:.2f} ms, one cp {cp * 1e3:.2f} ms, "
          f"ratio {ours / cp:.2f} (target 1.0); peak RSS {peak_rss([quorvel] + names, batch):.1f} MiB")


def main():
    args = sys.argv[1:]
    options = {"--runs": "11", "--work": "/dev/shm/quorvel-bench", "--only": ""}
    for option in options:
        if option in args:
            at = args.index(option)
            options[option] = args[at + 1]
            del args[at:at + 2]
    runs, work, only = int(options["--runs"]), options["--work"], options["--only"]
    quorvel = os.path.abspath(args[0] if args else os.path.join(HERE, "..", "build", "quorvel"))
    os.makedirs(work, exist_ok=True)
    sweep(quorvel, floor_program(work), work, runs, only)
    if only:
        return
    small_files(quorvel, work, runs)
    path, _ = converted(quorvel, work, "8192x8192.bmp", *to_rix(8192, 8192))
    imagemagick(quorvel, work, path)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Times quorvel against copying the same bytes.

Makes its own inputs in a folder on a memory file system (/dev/shm, so that
the disk's own noise stays out; --work DIR chooses another), checks each
conversion's output byte for byte against what the picture must become,
then for each case runs the converter and a plain copy of the same input
(`cat in > out`, or one cp for a batch) alternately, several times, and
prints the median wall times, their ratio and the converter's peak
resident memory. cat and cp copy inside the kernel here; for single files
`dd bs=512K`, which moves the bytes through a buffer of its own as any
converter must, is timed too, and its ratio to cat printed as the floor.

    python3 bench/bench.py [path/to/quorvel] [--runs N] [--work DIR]
"""
import os
import shutil
import statistics
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


# Pictures are made row by row: the benchmark's own process stays small.
def pixel_row(width, y):
    """Row y of the picture, counted from the top."""
    return bytes((x * 5 + y) & 255 for x in range(width)) if y < 256 else bytes(width)


RIX_PALETTE = [((i * 7) & 63, (i * 7 + 1) & 63, (i * 7 + 2) & 63) for i in range(256)]
BMP_PALETTE = [(i, 255 - i, i // 2) for i in range(256)]  # red, green, blue


def rix_parts(width, height, palette):
    yield b"RIX3" + struct.pack("<HHH", width, height, 175) + bytes(c for e in palette for c in e)
    for y in range(height):
        yield pixel_row(width, y)


def bmp_parts(width, height, palette, core=False):
    padded = (width + 3) & ~3
    entries = bytes(c for r, g, b in palette for c in ((b, g, r) if core else (b, g, r, 0)))
    off_bits = 14 + (12 if core else 40) + len(entries)
    yield b"BM" + struct.pack("<IHHI", off_bits + padded * height, 0, 0, off_bits)
    if core:
        yield struct.pack("<IHHHH", 12, width, height, 1, 8)
    else:
        yield struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 0, padded * height, 2835, 2835, 256, 0)
    yield entries
    for y in reversed(range(height)):
        yield pixel_row(width, y) + bytes(padded - width)


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


def compare(label, ours, theirs, runs, cwd, through_memory=None):
    """Median times of ours and theirs, run alternately. `through_memory`, a
    copy that moves the bytes through a buffer of its own as quorvel must,
    is timed alongside as the floor of any such converter (cat copies
    inside the kernel here)."""
    commands = [ours, theirs] + ([through_memory] if through_memory else [])
    times = [[] for _ in commands]
    for command in commands:
        timed(command, cwd)  # warm the page cache
    for _ in range(runs):
        for command, samples in zip(commands, times):
            samples.append(timed(command, cwd))
    a, b = statistics.median(times[0]), statistics.median(times[1])
    floor = f"  through memory {statistics.median(times[2]) / b:5.2f}" if through_memory else ""
    print(f"{label:<30} quorvel {a * 1000:7.2f} ms  copy {b * 1000:7.2f} ms  ratio {a / b:5.2f}{floor}"
          f"  peak RSS {peak_rss(ours, cwd) / 1024:5.1f} MiB", flush=True)


def peak_rss(command, cwd):
    """Peak resident memory of one run in KiB, as GNU time reports it: its
    own small process forks the child, so the figure is the program's."""
    report = subprocess.run(["/usr/bin/time", "-f", "%M"] + command, cwd=cwd, check=True,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True).stderr
    return int(report.split()[-1])


def single(quorvel, work, runs, name, parts, expected):
    """One file converted, checked once, then timed against `cat in > out`."""
    path = write(os.path.join(work, name), parts)
    output = path[:-3] + ("bmp" if name.endswith(".rix") else "rix")
    subprocess.run([quorvel, path], cwd=work, check=True, stdout=subprocess.DEVNULL)
    if not matches(output, expected):
        sys.exit(f"{output} differs from what {name} must become")
    compare(name, [quorvel, path], ["cat", path, ">", name + ".copy"], runs, work,
            ["dd", "if=" + path, "of=" + name + ".dd", "bs=512K", "status=none"])


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
    print(f"ImageMagick, same picture to 8-bit bitmap: {theirs * 1000:.0f} ms, "
          f"{theirs / ours:.0f} x quorvel's time", flush=True)


def main():
    args = sys.argv[1:]
    options = {"--runs": "11", "--work": "/dev/shm/quorvel-bench"}
    for option in options:
        if option in args:
            at = args.index(option)
            options[option] = args[at + 1]
            del args[at:at + 2]
    runs, work = int(options["--runs"]), options["--work"]
    quorvel = os.path.abspath(args[0] if args else os.path.join(HERE, "..", "build", "quorvel"))
    os.makedirs(work, exist_ok=True)
    widened = [tuple(c << 2 for c in entry) for entry in RIX_PALETTE]
    narrowed = [tuple(c >> 2 for c in entry) for entry in BMP_PALETTE]
    for width, height in ((640, 480), (8192, 8192), (8191, 8192)):
        single(quorvel, work, runs, f"{width}x{height}.rix", rix_parts(width, height, RIX_PALETTE),
               bmp_parts(width, height, widened, core=True))
    single(quorvel, work, runs, "8192x8192.bmp", bmp_parts(8192, 8192, BMP_PALETTE),
           rix_parts(8192, 8192, narrowed))

    imagemagick(quorvel, work, os.path.join(work, "8192x8192.bmp"))

    batch = os.path.join(work, "batch")
    copies = os.path.join(work, "batch-copies")
    os.makedirs(batch, exist_ok=True)
    os.makedirs(copies, exist_ok=True)
    names = [f"card{i:03}.bmp" for i in range(200)]
    write(os.path.join(batch, names[0]), bmp_parts(640, 480, BMP_PALETTE))
    for name in names[1:]:
        shutil.copyfile(os.path.join(batch, names[0]), os.path.join(batch, name))
    compare("200 x 640x480.bmp in one run", [quorvel] + names, ["cp", "-t", copies] + names, runs, batch)


if __name__ == "__main__":
    main()

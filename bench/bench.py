#!/usr/bin/env python3
"""Times quorvel against copying the same bytes.

Makes its own inputs in bench/work/, then for each case runs the converter
and a plain copy of the same input (dd bs=1M, or one cp for a batch)
alternately, several times, and prints the median wall times, their ratio,
and the converter's peak resident memory against the image's size.

    python3 bench/bench.py [path/to/quorvel] [--runs N]
"""
import os
import statistics
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
WORK = os.path.join(HERE, "work")


# Images are written row by row: the benchmark's own process stays small, so
# that its children's peak memory (counted from before they start the
# program) is the program's own.
def rix_parts(width, height):
    palette = bytes((i * 7 + c) & 63 for i in range(256) for c in range(3))
    yield b"RIX3" + struct.pack("<HHH", width, height, 175) + palette
    for y in range(height):
        yield bytes((x * 5 + y) & 255 for x in range(width)) if y < 256 else bytes(width)


def bmp_parts(width, height):
    padded = (width + 3) & ~3
    palette = bytes(v for i in range(256) for v in (i, 255 - i, i // 2, 0))
    off_bits = 14 + 40 + 1024
    size = off_bits + padded * height
    yield b"BM" + struct.pack("<IHHI", size, 0, 0, off_bits)
    yield struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 0, padded * height, 2835, 2835, 256, 0)
    yield palette
    for y in range(height):
        yield (bytes((x * 3 + y) & 255 for x in range(width)) if y < 256 else bytes(width)) + bytes(padded - width)


def write(name, parts):
    path = os.path.join(WORK, name)
    with open(path, "wb") as out:
        for part in parts:
            out.write(part)
    return path


def timed(command, cwd):
    """Wall time and peak resident memory (bytes) of one run."""
    start = time.perf_counter()
    process = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("failed: " + " ".join(command))
    return elapsed, usage.ru_maxrss * 1024


def compare(label, ours, theirs, runs, image_bytes=None, cwd=WORK):
    ours_times, theirs_times, peak = [], [], 0
    timed(ours, cwd), timed(theirs, cwd)  # warm the page cache
    for _ in range(runs):
        elapsed, rss = timed(ours, cwd)
        ours_times.append(elapsed)
        peak = max(peak, rss)
        theirs_times.append(timed(theirs, cwd)[0])
    a, b = statistics.median(ours_times), statistics.median(theirs_times)
    line = f"{label:<34} quorvel {a * 1000:8.2f} ms  copy {b * 1000:8.2f} ms  ratio {a / b:5.2f}"
    if image_bytes:
        line += f"  peak RSS {peak / 2**20:7.1f} MiB = image + {(peak - image_bytes) / 2**20:5.2f} MiB"
    print(line, flush=True)


def main():
    args = sys.argv[1:]
    runs = 11
    if "--runs" in args:
        at = args.index("--runs")
        runs = int(args[at + 1])
        del args[at:at + 2]
    quorvel = os.path.abspath(args[0] if args else os.path.join(HERE, "..", "build", "quorvel"))
    os.makedirs(WORK, exist_ok=True)

    small = write("small.rix", rix_parts(640, 480))
    compare("ColorRIX->bitmap 640x480", [quorvel, small],
            ["dd", f"if={small}", "of=small.copy", "bs=1M"], runs)

    large = write("large.rix", rix_parts(8192, 8192))
    compare("ColorRIX->bitmap 8192x8192", [quorvel, large],
            ["dd", f"if={large}", "of=large.copy", "bs=1M"], runs, os.path.getsize(large))

    large_bmp = write("large.bmp", bmp_parts(8192, 8192))
    compare("bitmap->ColorRIX 8192x8192", [quorvel, large_bmp],
            ["dd", f"if={large_bmp}", "of=large_bmp.copy", "bs=1M"], runs, 778 + 8192 * 8192)

    batch = os.path.join(WORK, "batch")
    copies = os.path.join(WORK, "batch-copies")
    os.makedirs(batch, exist_ok=True)
    os.makedirs(copies, exist_ok=True)
    names = [f"card{i:03}.bmp" for i in range(200)]
    for name in names:
        write(os.path.join(batch, name), bmp_parts(640, 480))
    compare("bitmap->ColorRIX 200 x 640x480", [quorvel] + names,
            ["cp", "-t", copies] + names, runs, cwd=batch)


if __name__ == "__main__":
    main()

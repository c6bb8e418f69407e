#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Soak run of the unattended program: thousands of small images of mixed
formats (a few of them broken) in nested folders, converted in one run.

Reports the peak resident set of the program (from wait4's resource usage of
the child) and the run time for each file count, and checks the outcome: exit
status 1 (the broken files), one stderr line per broken file, the processed-
files log listing exactly the good files once each, one destination per good
file and no temporary file left. The memory figure is what the soak is for:
the peak must not grow with the file count beyond what the file lists
themselves take. Each count is run a second time without overwriting, so that
every good row is skipped: that peak is the scan's and the lists' share, and
the last line compares the growth of both.

    python3 bench/soak.py --program build/hardening2-rel/src/app/trevasco
    python3 bench/soak.py --program ... --counts 1000 20000 --format jpg

Nothing here asserts a time; the exit status is 1 when an outcome check fails.
"""
import argparse
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = os.path.join(HERE, "..", "samples")


def bmp_bytes(width, height, seed):
    """A 24-bit bottom-up BMP with a gradient and a few stripes that differ per seed."""
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height):
        row = bytearray(stride)
        for x in range(width):
            row[3 * x] = (x * 255 // max(1, width - 1) + seed) & 0xFF
            row[3 * x + 1] = (y * 255 // max(1, height - 1) + 3 * seed) & 0xFF
            row[3 * x + 2] = 255 if (x + y + seed) % 7 == 0 else (seed * 29) & 0xFF
        rows.append(bytes(row))
    pixels = b"".join(reversed(rows))
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    return header + info + pixels


def run_program(program, args, config):
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "TREVASCO_DEBUG")}
    env["XDG_CONFIG_HOME"] = config
    env["LC_ALL"] = "C"
    with tempfile.TemporaryFile() as err:
        start = time.monotonic()
        child = subprocess.Popen([program] + args + ["/EXECUTE"], env=env,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
        wall = time.monotonic() - start
        err.seek(0)
        text = err.read().decode("utf-8", "replace")
    return child.returncode, text, usage, wall


class Pool:
    """Distinct small pictures in the formats the program writes, made by the
    program itself from generated bitmaps, plus the bundled samples of the
    formats it only reads."""

    def __init__(self, program, work, size=48):
        self.by_ext = {}
        bmp_dir = os.path.join(work, "pool-bmp")
        os.makedirs(bmp_dir)
        for i in range(size):
            with open(os.path.join(bmp_dir, "p%03d.bmp" % i), "wb") as f:
                f.write(bmp_bytes(16 + (i * 7) % 48, 12 + (i * 5) % 40, 1000 + i))
        config = os.path.join(work, "config")
        for ext in ("jpg", "png", "gif"):
            out = os.path.join(work, "pool-" + ext)
            status, err, _, _ = run_program(
                program, ["/SRC=" + bmp_dir, "/DST=" + out, "/DSTFORMAT=" + ext], config)
            if status != 0:
                sys.exit("making the %s pool failed: %s" % (ext, err))
            self.by_ext[ext] = [open(os.path.join(out, n), "rb").read()
                                for n in sorted(os.listdir(out))]
        self.samples = []
        for name in sorted(os.listdir(SAMPLES)):
            ext = name.rsplit(".", 1)[-1].lower()
            if ext in ("pcx", "tif", "ico", "rle", "dib", "emf", "wmf", "bmp", "jpg"):
                self.samples.append((ext, open(os.path.join(SAMPLES, name), "rb").read()))


BROKEN = [
    ("png", b""),                                              # empty
    ("jpg", bytes(range(7, 250, 3)) * 4),                      # no JPEG marker
    ("bmp", b"BM" + b"\x00" * 12),                             # header cut short
    ("gif", b"GIF89a"),                                        # screen descriptor missing
    ("pcx", b"\x0a\x05\x01\x08" + b"\xff" * 8),                # header cut short
]


def make_tree(root, count, pool):
    """count files in root/dNN/eN/ (100 per leaf folder); returns (good, broken) paths.
    Every name is unique: the destination folder is flat."""
    rng = random.Random(20000)
    good, broken = [], []
    for i in range(count):
        folder = os.path.join(root, "d%02d" % (i // 1000), "e%d" % (i // 100 % 10))
        if i % 100 == 0:
            os.makedirs(folder, exist_ok=True)
        kind = i % 10
        if i % 997 == 996:
            ext, data = BROKEN[(i // 997) % len(BROKEN)]
        elif kind in (0, 1, 2):
            ext, data = "bmp", bmp_bytes(8 + rng.randrange(40), 8 + rng.randrange(40), i)
        elif kind in (3, 4, 5, 8):
            ext = ("jpg", "png", "gif", "png")[(3, 4, 5, 8).index(kind)]
            data = pool.by_ext[ext][rng.randrange(len(pool.by_ext[ext]))]
        else:
            ext, data = pool.samples[rng.randrange(len(pool.samples))]
        path = os.path.join(folder, "f%05d.%s" % (i, ext))
        with open(path, "wb") as f:
            f.write(data)
        (broken if i % 997 == 996 else good).append(path)
    return good, broken


def soak(program, work, count, pool, fmt):
    src = os.path.join(work, "src%d" % count)
    dst = os.path.join(work, "dst%d" % count)
    log = os.path.join(work, "done%d.log" % count)
    good, broken = make_tree(src, count, pool)
    status, err, usage, wall = run_program(
        program, ["/SRC=" + src, "/SUBDIR", "/DST=" + dst, "/DSTFORMAT=" + fmt, "/LOGFILE=" + log],
        os.path.join(work, "config"))

    faults = []
    if status != (1 if broken else 0):
        faults.append("exit status %d" % status)
    # A message may span lines; each failure starts a line with its source.
    err_sources = sorted(line.split(": ", 1)[0] for line in err.splitlines()
                         if line.startswith(src + "/"))
    if err_sources != sorted(broken):
        faults.append("stderr names %d sources, %d broken files (first lines: %r)"
                      % (len(err_sources), len(broken), err.splitlines()[:3]))
    lines = open(log, encoding="utf-8", errors="replace").read().splitlines()
    # The header line and the blank line after it, then one line per finished file.
    finished = [line.split(" Finished ", 1)[0] for line in lines[1:] if line]
    if sorted(finished) != sorted(good):
        faults.append("the log lists %d files (%d distinct), %d are good"
                      % (len(finished), len(set(finished)), len(good)))
    outputs = os.listdir(dst) if os.path.isdir(dst) else []
    leftovers = [n for n in outputs if n.startswith(".")]
    if leftovers:
        faults.append("%d temporary files left, e.g. %s" % (len(leftovers), leftovers[0]))
    if len(outputs) - len(leftovers) != len(good):
        faults.append("%d destinations for %d good files" % (len(outputs) - len(leftovers), len(good)))

    # The same job again without overwriting: every good row is skipped, so
    # this peak is what the scan, the two lists and the broken files take.
    again_log = log + ".again"
    status2, _, usage2, _ = run_program(
        program, ["/SRC=" + src, "/SUBDIR", "/DST=" + dst, "/DSTFORMAT=" + fmt,
                  "/LOGFILE=" + again_log, "/NOOVERRIDE"], os.path.join(work, "config"))
    again = open(again_log, encoding="utf-8", errors="replace").read().splitlines()
    if status2 != (1 if broken else 0) or any(again[1:]):
        faults.append("the skipping run gave status %d and %d log lines"
                      % (status2, len([l for l in again[1:] if l])))

    result = {
        "count": count, "good": len(good), "broken": len(broken),
        "peak_kb": usage.ru_maxrss, "wall_s": wall, "cpu_s": usage.ru_utime + usage.ru_stime,
        "list_peak_kb": usage2.ru_maxrss, "faults": faults,
    }
    shutil.rmtree(src)
    shutil.rmtree(dst, ignore_errors=True)
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--program", required=True, help="the built trevasco program")
    parser.add_argument("--counts", type=int, nargs="+", default=[1000, 20000])
    parser.add_argument("--format", default="png", help="destination format switch value")
    parser.add_argument("--work", default=None, help="scratch folder (default: a new one in /tmp)")
    args = parser.parse_args()

    work = args.work or tempfile.mkdtemp(prefix="trevasco-soak-")
    os.makedirs(work, exist_ok=True)
    program = os.path.abspath(args.program)
    pool = Pool(program, work)
    results = []
    for count in args.counts:
        r = soak(program, work, count, pool, args.format)
        results.append(r)
        print("%6d files (%d broken) -> %s: peak RSS %.1f MB (%.1f MB when every row is skipped),"
              " %.1f s wall, %.1f s CPU, %.2f ms CPU/file%s"
              % (r["count"], r["broken"], args.format, r["peak_kb"] / 1024.0,
                 r["list_peak_kb"] / 1024.0, r["wall_s"], r["cpu_s"], 1000.0 * r["cpu_s"] / r["count"],
                 "" if not r["faults"] else "\n       FAULTS: " + "; ".join(r["faults"])),
              flush=True)
    if len(results) >= 2:
        first, last = results[0], results[-1]
        grow_kb = last["peak_kb"] - first["peak_kb"]
        per_file = 1024.0 * grow_kb / max(1, last["count"] - first["count"])
        list_kb = last["list_peak_kb"] - first["list_peak_kb"]
        print("peak RSS grew by %.1f MB from %d to %d files: %.0f bytes per added file;"
              " the run that skips every row grew by %.1f MB: conversions add %.1f MB of growth"
              % (grow_kb / 1024.0, first["count"], last["count"], per_file, list_kb / 1024.0,
                 (grow_kb - list_kb) / 1024.0))
    if not args.work:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if any(r["faults"] for r in results) else 0


if __name__ == "__main__":
    sys.exit(main())

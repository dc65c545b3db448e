#!/usr/bin/env python3
"""Runs copy_run_bench on a freshly made file system, once per run.

Each run gets a new image file, formatted and mounted on a loop device, with
TMPDIR there, so that no earlier run's deleted inodes or dirty data weigh on
either side, and so that journaled ext4, ext4 without a journal and XFS can
be compared on the same machine. With the image in memory (/dev/shm, the
default) the disk's own delays drop out and the work itself is compared.

Needs root (mkfs, mount). Prints one line per run: cp_ms, update_ms, ratio,
paired_ratio.

  sudo bench/copy_run_fresh.py --bench build/release/bench/copy_run_bench \\
      --fs ext4 --runs 3 --filter 'files:10000/size:4096/replace:0'
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

MKFS = {
    "ext4": ["mkfs.ext4", "-q", "-F"],
    "ext4-nojournal": ["mkfs.ext4", "-q", "-F", "-O", "^has_journal"],
    "xfs": ["mkfs.xfs", "-q", "-f"],
}
COUNTERS = ("cp_ms", "update_ms", "ratio", "paired_ratio")


def counter(line, name):
    match = re.search(r"\b" + name + r"=([0-9.]+)(k?)", line)
    if match is None:
        return None
    value = float(match.group(1))
    return value * 1000 if match.group(2) == "k" else value


def one_run(args):
    image = os.path.join(args.image_dir, "copy-run-fresh-%d.img" % os.getpid())
    mount = tempfile.mkdtemp(prefix="copy-run-fresh-")
    try:
        with open(image, "wb") as f:
            f.truncate(args.size_gib << 30)
        subprocess.run(MKFS[args.fs] + [image], check=True)
        subprocess.run(["mount", "-o", "loop", image, mount], check=True)
        try:
            env = dict(os.environ, TMPDIR=mount)
            out = subprocess.run(
                [args.bench, "--benchmark_filter=" + args.filter],
                env=env, check=True, capture_output=True, text=True).stdout
        finally:
            subprocess.run(["umount", mount], check=True)
    finally:
        if os.path.exists(image):
            os.remove(image)
        os.rmdir(mount)
    lines = [l for l in out.splitlines() if l.startswith("BM_CopyRunAgainstCp")]
    if len(lines) != 1:
        sys.exit("expected one benchmark line for the filter, got %d" % len(lines))
    return {name: counter(lines[0], name) for name in COUNTERS}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bench", required=True, help="the copy_run_bench program")
    parser.add_argument("--fs", choices=sorted(MKFS), default="ext4")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--filter", default="files:10000/size:4096/replace:0",
                        help="one shape of the benchmark")
    parser.add_argument("--image-dir", default="/dev/shm")
    parser.add_argument("--size-gib", type=int, default=4)
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("needs root: it makes and mounts a file system")
    for run in range(args.runs):
        got = one_run(args)
        print("%s run %d: cp %.0f ms, update %.0f ms, ratio %.2f, paired_ratio %.2f" % (
            args.fs, run + 1, got["cp_ms"], got["update_ms"], got["ratio"],
            got["paired_ratio"]), flush=True)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Times `packtool cat` of a Zlc2 entry against `lz4 -d` of the same bytes.

Both run as whole processes, on the same two corpora of 20 MiB gathered from
the machine (text: the files under /usr/share/doc and /usr/include, compressed
ones left out; executables: the files under /usr/bin and /usr/lib; each taken
in name order), writing to /dev/null. The runs take turns, and the medians of
each side's wall time and CPU time (user + system, which a busy machine
disturbs less) are reported with the ratio lz4 time / packtool time (above 1:
packtool is faster).

Needs python3, the `lz4` program (Debian package lz4) and a release build of
packtool; installs nothing. Usage: zlc2_vs_lz4.py PACKTOOL [RUNS]
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

CORPUS_SIZE = 20 << 20
SKIPPED = {".gz", ".xz", ".bz2", ".png", ".jpg", ".pdf", ".gif", ".woff", ".ttf"}


def gather(roots, text_only):
    paths = []
    for root in roots:
        for folder, _, names in os.walk(root):
            for name in names:
                path = os.path.join(folder, name)
                if os.path.islink(path) or not os.path.isfile(path):
                    continue
                if text_only and os.path.splitext(name)[1] in SKIPPED:
                    continue
                paths.append(path)
    out = bytearray()
    for path in sorted(paths):
        try:
            with open(path, "rb") as f:
                out += f.read(CORPUS_SIZE - len(out))
        except OSError:
            continue
        if len(out) >= CORPUS_SIZE:
            break
    return bytes(out)


def timed(command):
    """Wall time and CPU time (user + system) of one run, in seconds."""
    with open(os.devnull, "wb") as sink:
        start = time.perf_counter()
        child = subprocess.Popen(command, stdout=sink)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
        if status != 0:
            sys.exit(f"{command[0]} failed")
        return wall, usage.ru_utime + usage.ru_stime


def main():
    packtool = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 30
    with tempfile.TemporaryDirectory() as work:
        corpora = {
            "text": gather(["/usr/share/doc", "/usr/include"], True),
            "executables": gather(["/usr/bin", "/usr/lib"], False),
        }
        for name, data in corpora.items():
            raw = os.path.join(work, name + ".bin")
            with open(raw, "wb") as f:
                f.write(data)
            pack = os.path.join(work, name + ".pack")
            packed = os.path.join(work, name + ".lz4")
            subprocess.run([packtool, "create", pack, "--coding", "zlc2", raw], check=True)
            subprocess.run(["lz4", "-q", "-f", raw, packed], check=True)
            ours = [packtool, "cat", pack, name + ".bin"]
            theirs = ["lz4", "-d", "-c", packed]
            for command in (ours, theirs):
                if subprocess.run(command, stdout=subprocess.PIPE, check=True).stdout != data:
                    sys.exit(f"{command[0]}: wrong output for {name}")
            times = {"packtool": [], "lz4": []}
            for i in range(runs):
                order = [("packtool", ours), ("lz4", theirs)]
                for side, command in order if i % 2 == 0 else reversed(order):
                    times[side].append(timed(command))
            print(f"{name}: {len(data)} bytes; Zlc2 {os.path.getsize(pack)} bytes, "
                  f"LZ4 {os.path.getsize(packed)} bytes; medians of {runs} runs:")
            for kind, at in (("wall", 0), ("cpu", 1)):
                ours_ms = statistics.median(t[at] for t in times["packtool"]) * 1000
                theirs_ms = statistics.median(t[at] for t in times["lz4"]) * 1000
                print(f"  {kind}: packtool cat {ours_ms:.1f} ms, lz4 -d {theirs_ms:.1f} ms, "
                      f"lz4 / packtool = {theirs_ms / ours_ms:.2f}")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Our deltas against bsdiff, xdelta3 and `zstd --patch-from`, side by side.

Every tool runs as a whole process on the same pairs of files, made or
fetched by this script:

- real builds: two versions of binaries and libraries of public Debian
  packages (`apt-get download` of versions that the archive still carries;
  skipped, and said so, when the network or the versions are not there);
- a one-line change to a program: a generated C program of some 2,000
  functions compiled twice with gcc -O2, one constant changed in between;
- an archive of about 50 MB: a folder of the machine's files (Python
  modules, documentation) as an uncompressed tar, and the same folder after
  a revision (2 % of the files edited, a few added and removed);
- a pack of 1,000 entries made by packtool (auto coding), and the same pack
  with 1 % of its entries changed.

For each pair and tool: the delta's size, the make time (wall and CPU), the
apply time and peak resident memory, and whether the applied file equals
the new one. Our deltas are made with `deltatool make` (`--pack` for the
pack pair) and applied with `deltatool apply`, the installer's applier.

With --big, the applier also runs on a 3 GiB file: a base of 3 GiB and a
delta that changes bytes all through it, applied by deltatool on Linux and,
with --wine DELTATOOL_EXE, by the 32-bit Windows build under Wine.

Needs python3, gcc, tar, and the Debian packages bsdiff, xdelta3, zstd and
time (installed with apt-get when missing and running as root). Usage:

  delta_compare.py DELTATOOL PACKTOOL [--big BIGDELTA] [--wine DELTATOOL_EXE]
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

TOOLS = ("ours", "bsdiff", "xdelta3", "zstd")

# (package, old version, new version, files in the package)
DEBIAN_PAIRS = [
    ("openssl", "3.0.17-1~deb12u2", "3.0.22-1~deb12u2", ["usr/bin/openssl"]),
    ("libssl3", "3.0.17-1~deb12u2", "3.0.22-1~deb12u2",
     ["usr/lib/x86_64-linux-gnu/libcrypto.so.3", "usr/lib/x86_64-linux-gnu/libssl.so.3"]),
    ("libcurl4", "7.88.1-10+deb12u5", "7.88.1-10+deb12u15",
     ["usr/lib/x86_64-linux-gnu/libcurl.so.4.8.0"]),
    ("libxml2", "2.9.14+dfsg-1.3~deb12u4", "2.9.14+dfsg-1.3~deb12u6",
     ["usr/lib/x86_64-linux-gnu/libxml2.so.2.9.14"]),
]


def ensure_tools():
    missing = [p for p, exe in (("bsdiff", "bsdiff"), ("xdelta3", "xdelta3"), ("zstd", "zstd"),
                                ("time", "/usr/bin/time"))
               if shutil.which(exe) is None]
    if not missing:
        return
    if os.geteuid() != 0:
        sys.exit(f"missing {' '.join(missing)}: install them (apt-get install {' '.join(missing)})")
    subprocess.run(["apt-get", "install", "-y", "-qq"] + missing, check=True,
                   env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"),
                   stdout=subprocess.DEVNULL)


def run(command, cwd=None):
    """Wall time, CPU time (user + system) and peak resident KiB of one run.

    The peak comes from GNU time, which starts the program from its own small
    process: a child forked from this script would report this script's
    resident size as its own peak."""
    with tempfile.NamedTemporaryFile() as peak:
        start = time.perf_counter()
        child = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", peak.name] + command,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, cwd=cwd)
        err = child.stderr.read()
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
        if status != 0:
            sys.exit(f"{' '.join(command)} failed: {err.decode(errors='replace')}")
        return wall, usage.ru_utime + usage.ru_stime, int(open(peak.name).read().split()[-1])


def make_command(tool, old, new, delta, args, pack):
    if tool == "ours":
        return [args.deltatool, "make"] + (["--pack"] if pack else []) + [old, new, delta]
    if tool == "bsdiff":
        return ["bsdiff", old, new, delta]
    if tool == "xdelta3":
        return ["xdelta3", "-e", "-9", "-f", "-s", old, new, delta]
    return ["zstd", "-q", "-f", "-19", f"--patch-from={old}", new, "-o", delta]


def apply_command(tool, old, delta, out, args):
    if tool == "ours":
        return [args.deltatool, "apply", old, delta, out]
    if tool == "bsdiff":
        return ["bspatch", old, out, delta]
    if tool == "xdelta3":
        return ["xdelta3", "-d", "-f", "-s", old, delta, out]
    return ["zstd", "-q", "-f", "-d", "--long=31", f"--patch-from={old}", delta, "-o", out]


def same(a, b):
    with open(a, "rb") as x, open(b, "rb") as y:
        while True:
            p, q = x.read(1 << 20), y.read(1 << 20)
            if p != q:
                return False
            if not p:
                return True


def debian_pairs(work):
    pairs = []
    for package, old_version, new_version, members in DEBIAN_PAIRS:
        trees = []
        for version in (old_version, new_version):
            folder = os.path.join(work, f"{package}-{version}")
            os.makedirs(folder, exist_ok=True)
            got = subprocess.run(["apt-get", "download", "-qq", f"{package}={version}"],
                                 cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            debs = [n for n in os.listdir(folder) if n.endswith(".deb")]
            if got.returncode != 0 or not debs:
                print(f"# {package} {version}: can't be downloaded, pair skipped")
                break
            subprocess.run(["dpkg-deb", "-x", debs[0], "tree"], cwd=folder, check=True)
            trees.append(os.path.join(folder, "tree"))
        if len(trees) != 2:
            continue
        for member in members:
            old, new = (os.path.join(t, member) for t in trees)
            if os.path.isfile(old) and os.path.isfile(new):
                pairs.append((f"{os.path.basename(member)} {old_version} → {new_version}",
                              old, new, False))
    return pairs


def c_program(path, constant):
    rng = random.Random(7)
    lines = ["#include <stdio.h>", "#include <string.h>"]
    for i in range(2000):
        a, b, c = rng.randrange(1, 99), rng.randrange(1, 99), rng.randrange(1, 9)
        lines.append(f"int f{i}(int x) {{ int s = {a}; for (int k = 0; k < x % {b} + {c}; ++k)"
                     f" s = s * {c} + k ^ (s >> 3); if (s % 7 == {i % 7}) puts(\"f{i}\");"
                     f" return s; }}")
    lines.append(f"int g(int x) {{ return x * {constant}; }}")
    lines.append("int main(int argc, char** argv) { int s = g(argc);")
    for i in range(2000):
        lines.append(f"  s += f{i}(s + {i});")
    lines.append('  printf("%d\\n", s + (int)strlen(argv[0])); return 0; }')
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def program_pair(work):
    out = []
    for name, constant in (("old", 3), ("new", 5)):
        source = os.path.join(work, f"prog-{name}.c")
        binary = os.path.join(work, f"prog-{name}")
        c_program(source, constant)
        subprocess.run(["gcc", "-O2", "-o", binary, source], check=True)
        out.append(binary)
    return [("program, one line changed", out[0], out[1], False)]


def gather(roots, limit, min_size=1, max_size=1 << 62):
    paths, total = [], 0
    for root in roots:
        for folder, dirs, names in os.walk(root):
            dirs.sort()
            for name in sorted(names):
                path = os.path.join(folder, name)
                if os.path.islink(path) or not os.path.isfile(path):
                    continue
                size = os.path.getsize(path)
                if size < min_size or size > max_size:
                    continue
                paths.append(path)
                total += size
                if total >= limit:
                    return paths
    return paths


def edit(data, rng):
    """A small revision: a few bytes changed and a line inserted."""
    data = bytearray(data)
    at = rng.randrange(len(data))
    data[at:at + 8] = b"REVISED!"
    at = rng.randrange(len(data))
    data[at:at] = b"\n# added in the revision\n"
    return bytes(data)


def archive_pair(work):
    sources = gather(["/usr/lib/python3", "/usr/share/doc", "/usr/share/perl"], 50 << 20)
    rng = random.Random(11)
    folders = []
    for name in ("old", "new"):
        root = os.path.join(work, f"tree-{name}")
        folders.append(root)
        for i, path in enumerate(sources):
            if name == "new" and i % 97 == 5:
                continue  # removed in the revision
            target = os.path.join(root, path.lstrip("/"))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(path, "rb") as f:
                data = f.read()
            if name == "new" and i % 50 == 3 and data:
                data = edit(data, rng)
            with open(target, "wb") as f:
                f.write(data)
        if name == "new":
            for k in range(3):
                with open(os.path.join(root, f"added{k}.txt"), "wb") as f:
                    f.write(os.urandom(2000).hex().encode())
    tars = []
    for root in folders:
        tar = root + ".tar"
        subprocess.run(["tar", "--sort=name", "--mtime=@0", "--owner=0", "--group=0",
                        "--numeric-owner", "-cf", tar, "-C", root, "."], check=True)
        tars.append(tar)
    size = os.path.getsize(tars[1]) / 1e6
    return [(f"folder as one archive ({size:.0f} MB)", tars[0], tars[1], False)]


def pack_pair(work, packtool):
    sources = gather(["/usr/share/doc", "/usr/lib/python3", "/usr/bin"], 1 << 62, 2000, 200000)
    sources = sources[:1000]
    rng = random.Random(13)
    packs = []
    for name in ("old", "new"):
        folder = os.path.join(work, f"pack-{name}")
        os.makedirs(folder)
        files = []
        for i, path in enumerate(sources):
            with open(path, "rb") as f:
                data = f.read()
            if name == "new" and i % 100 == 42:
                data = edit(data, rng)
            entry = os.path.join(folder, f"e{i:04d}.dat")
            with open(entry, "wb") as f:
                f.write(data)
            files.append(entry)
        pack = os.path.join(work, f"{name}.pack")
        subprocess.run([packtool, "create", pack, "--layout", "hashed", "--key", "5a5a5a5a"]
                       + files, check=True, stdout=subprocess.DEVNULL)
        packs.append(pack)
    size = os.path.getsize(packs[1]) / 1e6
    return [(f"pack, 1,000 entries, 1 % changed ({size:.0f} MB)", packs[0], packs[1], True)]


def measure(pairs, args, work):
    results = []
    for label, old, new, pack in pairs:
        row = {"label": label, "new": os.path.getsize(new)}
        for tool in TOOLS:
            delta = os.path.join(work, f"d.{tool}")
            out = os.path.join(work, f"o.{tool}")
            wall, cpu, _ = run(make_command(tool, old, new, delta, args, pack))
            size = os.path.getsize(delta)
            awall, acpu, rss = run(apply_command(tool, old, delta, out, args))
            ok = same(out, new)
            row[tool] = dict(size=size, make=wall, make_cpu=cpu, apply=awall, rss=rss, ok=ok)
            os.remove(out)
            os.remove(delta)
        results.append(row)
        print(f"# {label}: " + ", ".join(f"{t} {row[t]['size']}" for t in TOOLS), flush=True)
    return results


def report(results):
    print()
    print("| Pair | New size | " + " | ".join(TOOLS) + " |")
    print("|---|---|" + "---|" * len(TOOLS))
    for r in results:
        cells = []
        for t in TOOLS:
            m = r[t]
            cells.append(f"{m['size']:,} ({100 * m['size'] / r['new']:.2f} %)"
                          + ("" if m["ok"] else " WRONG"))
        print(f"| {r['label']} | {r['new']:,} | " + " | ".join(cells) + " |")
    real = [r for r in results if not r["label"].startswith("pack")]
    totals = {t: sum(r[t]["size"] for r in real) for t in TOOLS}
    print("| total, all but the pack | " + f"{sum(r['new'] for r in real):,} | "
          + " | ".join(f"{totals[t]:,}" for t in TOOLS) + " |")
    per_tool_table(results, "make (wall / CPU s)", lambda m: f"{m['make']:.2f} / {m['make_cpu']:.2f}")
    per_tool_table(results, "apply: s, peak MiB", lambda m: f"{m['apply']:.2f}, {m['rss'] / 1024:.1f}")


def per_tool_table(results, title, cell):
    print()
    print("| Pair | " + " | ".join(f"{t} {title}" for t in TOOLS) + " |")
    print("|---|" + "---|" * len(TOOLS))
    for r in results:
        print(f"| {r['label']} | " + " | ".join(cell(r[t]) for t in TOOLS) + " |")


def big(args, work):
    base = os.path.join(work, "big.base")
    delta = os.path.join(work, "big.delta")
    out = os.path.join(work, "big.out")
    run([args.big, base, delta, "3"])
    print()
    print("| 3 GiB file | apply wall s | peak resident MiB |")
    print("|---|---|---|")
    wall, _, rss = run([args.deltatool, "apply", base, delta, out])
    print(f"| Linux, deltatool (64-bit) | {wall:.1f} | {rss / 1024:.1f} |")
    os.remove(out)
    if args.wine:
        env_prefix = os.path.join(work, "wineprefix")
        os.environ.setdefault("WINEPREFIX", env_prefix)
        os.environ.setdefault("WINEDEBUG", "-all")
        _, _, idle = run(["wine", args.wine, "--version"])
        wall, _, rss = run(["wine", args.wine, "apply", base, delta, out])
        print(f"| Wine, deltatool.exe (32-bit) | {wall:.1f} | {rss / 1024:.1f} "
              f"(the same process doing `--version`: {idle / 1024:.1f}) |")
        os.remove(out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("deltatool")
    parser.add_argument("packtool")
    parser.add_argument("--big", help="the big_delta program, for the 3 GiB apply")
    parser.add_argument("--wine", help="deltatool.exe, for the 3 GiB apply under Wine")
    args = parser.parse_args()
    ensure_tools()
    with tempfile.TemporaryDirectory(prefix="delta-compare-") as work:
        pairs = debian_pairs(work) + program_pair(work) + archive_pair(work)
        pairs += pack_pair(work, args.packtool)
        report(measure(pairs, args, work))
        if args.big:
            big(args, work)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""What checking a patch against its manifest costs the copy run.

One patch file of SIZE GiB copied into an empty install folder, by the same
patch folder with and without update.sum (the manifest that makes the
installer hash the file as it copies it and compare before putting it in
place). Each side runs as a whole process: the Linux installer `update`
(boxes answered on its standard input), `deltatool copyrun` (the installer's
copy run, boxes answered in the process), and with --wine the 32-bit
Windows build's `deltatool.exe copyrun` under Wine, whose server is kept
running between runs (as Windows' own services are) unless --cold-wine.
Rounds take turns at going first, with `sync` (untimed) before each run;
medians are reported, and the copy run's own time where the program
prints it.

usage: checked_copy.py --update UPDATE --deltatool DELTATOOL [--wine DELTATOOL_EXE]
                       [--cold-wine] [--size GIB] [--rounds N] [--dir DIR] [--only TEXT]
"""
import argparse
import hashlib
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

LIST = "gametitle = Bench\r\nregbase = Bench\\Copy\r\nreginstall = InstallDir\r\n\r\nbig.dat\r\n"


def make_patches(work, gib):
    """Two patch folders holding the same big.dat: `plain` without a
    manifest, `checked` with one."""
    plain, checked = os.path.join(work, "plain"), os.path.join(work, "checked")
    for folder in (plain, checked):
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "update.lst"), "w", newline="") as f:
            f.write(LIST)
    big = os.path.join(plain, "big.dat")
    block = os.urandom(64 << 20)
    digest = hashlib.sha256()
    with open(big, "wb") as f:
        for i in range(gib * 16):
            piece = bytes([i & 0xFF]) + block[1:]
            f.write(piece)
            digest.update(piece)
    shutil.copy2(big, os.path.join(checked, "big.dat"))
    with open(os.path.join(checked, "update.sum"), "w", newline="\n") as f:
        f.write(f"vxupdate-manifest 1\nfile\t{gib << 30}\t{digest.hexdigest()}\tbig.dat\nend\t1\n")
    return plain, checked


def timed(cmd, cwd, env=None, stdin=None):
    subprocess.run(["sync"], check=True)
    start = time.monotonic()
    proc = subprocess.run(cmd, cwd=cwd, env=env, input=stdin, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, check=False)
    wall = time.monotonic() - start
    if proc.returncode != 0:
        raise RuntimeError(f"{cmd[0]}: exit {proc.returncode}: {proc.stdout} {proc.stderr}")
    inner = re.search(rb"copy run: ([0-9.]+) s", proc.stdout)
    return wall, float(inner.group(1)) if inner else None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--update", required=True)
    ap.add_argument("--deltatool", required=True)
    ap.add_argument("--wine")
    ap.add_argument("--size", type=int, default=1)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--dir", default="checked-copy-bench")
    ap.add_argument("--only", help="run only the programs whose name holds this text")
    ap.add_argument("--cold-wine", action="store_true",
                    help="start Wine afresh for every run (its server is kept running otherwise)")
    a = ap.parse_args()
    work = os.path.abspath(a.dir)
    os.makedirs(work, exist_ok=True)
    plain, checked = make_patches(work, a.size)
    install = os.path.join(work, "install")
    registry = os.path.join(work, "registry.reg")
    with open(registry, "w") as f:
        f.write("Windows Registry Editor Version 5.00\r\n\r\n"
                "[HKEY_CURRENT_USER\\Software\\Bench\\Copy]\r\n"
                f"\"InstallDir\"=\"{install}\"\r\n")
    env = dict(os.environ, VXUPDATE_REGISTRY=registry, XDG_RUNTIME_DIR=work)
    wine_env = dict(os.environ, WINEPREFIX=os.path.join(work, "wineprefix"), WINEDEBUG="-all")
    runners = {
        "update (Linux)": lambda patch: timed([os.path.abspath(a.update)], patch, env,
                                              b"ok\nyes\nok\n"),
        "deltatool copyrun (Linux)": lambda patch: timed(
            [os.path.abspath(a.deltatool), "copyrun", patch, install], patch),
    }
    if a.wine:
        subprocess.run(["wineboot", "-i"], env=wine_env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)
        if not a.cold_wine:
            # Kept running, as Windows' own services are: a cold start of
            # Wine also starts its services, which take the processors for
            # the first seconds of every run.
            subprocess.run(["wineserver", "-p"], env=wine_env, check=False)
            subprocess.run(["wine", "cmd", "/c", "exit"], env=wine_env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=False)
            time.sleep(5)
        exe = os.path.abspath(a.wine)
        runners["deltatool.exe copyrun (Wine, 32-bit)"] = lambda patch: timed(
            ["wine", exe, "copyrun", "Z:" + patch.replace("/", "\\"),
             "Z:" + install.replace("/", "\\")], patch, wine_env)
    print(f"{a.size} GiB, {a.rounds} rounds, medians; wall s of the whole process "
          "(the copy run's own s); every round on standard error")
    print("| program | without manifest | with manifest | cost | cost to the copy run's own time |")
    print("|---|---|---|---|---|")
    for name, run in runners.items():
        if a.only and a.only not in name:
            continue
        got = {"plain": [], "checked": []}
        for r in range(a.rounds):
            order = [("plain", plain), ("checked", checked)]
            for side, patch in order if r % 2 == 0 else order[::-1]:
                shutil.rmtree(install, ignore_errors=True)
                os.makedirs(install)
                got[side].append(run(patch))
                print(f"{name}, round {r + 1}, {side}: {got[side][-1]}", file=sys.stderr,
                      flush=True)
        med = {side: (statistics.median(w for w, _ in v),
                      statistics.median(i for _, i in v) if v[0][1] is not None else None)
               for side, v in got.items()}
        shown = {side: f"{w:.2f}" + (f" ({i:.2f})" if i is not None else "")
                 for side, (w, i) in med.items()}
        own = (f"{(med['checked'][1] / med['plain'][1] - 1) * 100:+.0f} %"
               if med["plain"][1] is not None else "")
        print(f"| {name} | {shown['plain']} | {shown['checked']} | "
              f"{(med['checked'][0] / med['plain'][0] - 1) * 100:+.0f} % | {own} |")
    if a.wine and not a.cold_wine:
        subprocess.run(["wineserver", "-k"], env=wine_env, check=False)
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Patches made by patchtool.exe, applied by the real Update.exe under Wine.

For the names that only Windows takes as one: NEW's small Greek, Cyrillic
and full-width letters replace OLD's capital ones (patchtool calls them
changed files, not new ones), and Update.exe puts them in place of the
installed files, asking nothing but the usual questions. With --delta: the
program ships as a delta that Update.exe turns into NEW byte for byte; a
player's own version of it is refused and left as it was; a damaged file
of the patch fails with nothing written.

usage: patchtool_wine_apply.py PATCHTOOL_EXE UPDATE_EXE BOXDRIVER_EXE WORK
"""
import os
import random
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "app",
                                "e2e"))
from messages import expect  # noqa: E402
from run_wine import Wine, chown_tree, run  # noqa: E402
from scenarios import scenario  # noqa: E402

OLD_TIME, NEW_TIME = "2025-01-01 12:00", "2026-06-01 12:00"
OLD = {"Α.dat": "alpha 1.01", "Я.dat": "ya 1.01", "Ｂ.txt": "full-width b 1.01"}
NEW = {"α.dat": "alpha 1.02", "я.dat": "ya 1.02", "ｂ.txt": "full-width b 1.02"}


def lay_out(folder, files, when):
    os.makedirs(folder, exist_ok=True)
    stamp = time.mktime(time.strptime(when, "%Y-%m-%d %H:%M"))
    for rel, content in files.items():
        path = os.path.join(folder, rel)
        with open(path, "w", encoding="utf-8") as f:
            f.write(content)
        os.utime(path, (stamp, stamp))


def write_tree(folder, files, when):
    os.makedirs(folder, exist_ok=True)
    stamp = time.mktime(time.strptime(when, "%Y-%m-%d %H:%M"))
    for rel, content in files.items():
        with open(os.path.join(folder, rel), "wb") as f:
            f.write(content)
        os.utime(os.path.join(folder, rel), (stamp, stamp))


def delta_scenarios(wine, tmp, tool):
    """A delta patch made by patchtool.exe --delta, applied three ways."""
    rng = random.Random(7)
    exe = bytes(rng.getrandbits(8) for _ in range(120_000))
    exe_new = exe[:5000] + b"Ver1.02" + exe[5007:90_000] + b"patched" + exe[90_000:]
    old = {"game.exe": exe, "map.dat": b"map 1.01"}
    new = {"game.exe": exe_new, "map.dat": b"map 1.02"}
    work = os.path.join(tmp, "delta")
    write_tree(os.path.join(work, "old"), old, OLD_TIME)
    write_tree(os.path.join(work, "new"), new, NEW_TIME)
    prefix = os.path.join(work, "prefix")
    if wine.as_other:
        chown_tree(work, wine.user)
    wine.copy_template(prefix)
    code, out = wine.call(["wine", tool, "make", "old", "new", "out", "--delta", "--title", "G",
                           "--regbase", "Hoshiumi\\Adventure", "--reginstall", "InstallDir"],
                          prefix, cwd=work)
    wine.stop_prefix(prefix)
    made = {}
    for name in ("game.exe", "map.dat", "update.lst", "update.sum"):
        path = os.path.join(work, "out", name)
        if os.path.isfile(path):
            with open(path, "rb") as f:
                made[name] = f.read()
    if code != 0 or len(made) != 4 or not made["game.exe"].startswith(b"VXDELTA"):
        return [f"make --delta: exit {code}: {out}"]
    listing = made.pop("update.lst").decode("cp932")
    patch = {rel: (data, NEW_TIME) for rel, data in made.items()}
    install = {rel: (data, OLD_TIME) for rel, data in old.items()}
    start = [(expect("M2title", "G", caption_arg="G"), "ok"),
             (expect("M7", "{PATCH}", "{INSTALL}"), "yes")]
    failed = start + [(expect("M12", "game.exe"), "ok"), (expect("M13"), "no"),
                      (expect("M6", "G"), "ok")]
    mine = exe[:-1] + b"!"
    damaged = bytearray(made["game.exe"])
    damaged[-9] ^= 1
    flipped = dict(patch, **{"game.exe": (bytes(damaged), NEW_TIME)})
    failures = []
    for sc in (
            scenario("delta_applied", start + [(expect("M6", "G"), "ok")], new,
                     update_list=listing, patch=patch, install=install, only_files=True),
            scenario("delta_player_file_refused", failed,
                     {"game.exe": mine, "map.dat": new["map.dat"]}, update_list=listing,
                     patch=patch, install=dict(install, **{"game.exe": (mine, OLD_TIME)}),
                     only_files=True),
            scenario("delta_damaged", failed, {"game.exe": exe, "map.dat": new["map.dat"]},
                     update_list=listing, patch=flipped, install=install, only_files=True)):
        failures += run(wine, sc, None)
    return failures


def main():
    tool, update, driver, work = (os.path.abspath(p) for p in sys.argv[1:5])
    wine = Wine(work, update, driver)
    failures = []
    try:
        wine.start()
        tmp = tempfile.mkdtemp(prefix="patchtool-", dir=wine.work)
        prefix = os.path.join(tmp, "prefix")
        if wine.as_other:
            chown_tree(tmp, wine.user)
        wine.copy_template(prefix)
        lay_out(os.path.join(tmp, "old"), OLD, OLD_TIME)
        lay_out(os.path.join(tmp, "new"), NEW, NEW_TIME)
        # Wine run as another user may not enter the build folder (a clone in
        # a folder only root may enter): the tool is run from a copy of its own.
        shutil.copy(tool, os.path.join(tmp, "patchtool.exe"))
        tool = os.path.join(tmp, "patchtool.exe")
        if wine.as_other:
            chown_tree(tmp, wine.user)
        code, out = wine.call(["wine", tool, "make", "old", "new", "out", "--title", "G",
                               "--regbase", "Hoshiumi\\Adventure", "--reginstall", "InstallDir"],
                              prefix, cwd=tmp)
        wine.stop_prefix(prefix)
        made = os.path.join(tmp, "out")
        files = sorted(os.listdir(made)) if os.path.isdir(made) else []
        if code != 0 or files != sorted(["update.lst", "update.sum", *NEW]) or \
                out.count("changed\t") != 3:
            failures.append(f"make: exit {code}, {files}: {out}")
        else:
            with open(os.path.join(made, "update.lst"), "rb") as f:
                listing = f.read().decode("cp932")
            patch = {rel: (NEW[rel], NEW_TIME) for rel in NEW}
            install = {rel: (OLD[rel], OLD_TIME) for rel in OLD}
            boxes = [(expect("M2title", "G", caption_arg="G"), "ok"),
                     (expect("M7", "{PATCH}", "{INSTALL}"), "yes"),
                     (expect("M6", "G"), "ok")]
            # One file per name, the installed one, with NEW's bytes.
            after = {old: NEW[new] for old, new in zip(OLD, NEW)}
            sc = scenario("windows_names", boxes, after, update_list=listing, patch=patch,
                          install=install, only_files=True)
            failures += run(wine, sc, None)
        failures += delta_scenarios(wine, tmp, tool)
    finally:
        wine.finish()
    for f in failures:
        print("FAIL " + f)
    print(f"patchtool under Wine, applied by Update.exe: {'failed' if failures else 'passed'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

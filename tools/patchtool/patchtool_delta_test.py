#!/usr/bin/env python3
"""Patches with a manifest and deltas, made by patchtool and applied by the
real Linux installer.

A program with a small change and a pack with changed, added and removed
entries become deltas; the installer turns OLD into NEW byte for byte,
asking what the same patch with whole files asks. A player's own version
of a file is refused and left as it was; every kind of damage to a patch
file (a flipped byte, cut, lengthened, swapped with another patch's) fails
that file with nothing written; a malformed manifest fails every file; a
patch without a manifest is copied as before. check and plan say the same
beforehand.

usage: patchtool_delta_test.py PATCHTOOL UPDATE PACKTOOL
"""
import os
import random
import shutil
import subprocess
import sys
import tempfile

import patchtool_test as base
from patchtool_test import NEW_TIME, OLD_TIME, SETTINGS, box_ids, fail, lay_out, tool, tree

PACKTOOL = os.path.abspath(sys.argv[3])


def program(seed, size):
    rng = random.Random(seed)
    return bytes(rng.getrandbits(8) for _ in range(size))


def pack(folder, entries):
    """A pack made by packtool from entries (name to bytes)."""
    src = folder + ".entries"
    os.makedirs(src)
    for name, data in entries.items():
        with open(os.path.join(src, name), "wb") as f:
            f.write(data)
    out = folder + ".pack"
    subprocess.run([PACKTOOL, "create", out, "--coding", "auto", *sorted(entries)], cwd=src,
                   check=True, stdout=subprocess.DEVNULL)
    with open(out, "rb") as f:
        return f.read()


def builds(tmp):
    """OLD and NEW: a program changed in a few places, a pack with changed,
    added and removed entries, a changed small text, a new file."""
    exe = program(1, 200_000)
    exe_new = bytearray(exe)
    for at in (1000, 50_000, 150_000):
        exe_new[at:at + 4] = b"1.02"
    entries = {f"e{i:03}.txt": (f"entry {i} " * (i % 40 + 5)).encode() for i in range(120)}
    changed = dict(entries)
    changed["e007.txt"] = b"entry 7, revised " * 30
    changed["e050.txt"] = entries["e050.txt"] + b" and more"
    changed["new.txt"] = b"an entry new in 1.02" * 10
    del changed["e099.txt"]
    old = {"game.exe": exe, "data/story.pak": pack(os.path.join(tmp, "p1"), entries),
           "readme.txt": b"1.01"}
    new = {"game.exe": bytes(exe_new), "data/story.pak": pack(os.path.join(tmp, "p2"), changed),
           "readme.txt": b"1.02", "data/extra.dat": b"new in 1.02"}
    return old, new


def install_copy(tmp, name, files):
    folder = os.path.join(tmp, name)
    lay_out(folder, files, OLD_TIME)
    return folder


def run(patch, install, tmp):
    return box_ids(base.run_installer(base.UPDATE, patch, install, tmp))


def stamps(folder):
    return {rel: os.stat(os.path.join(folder, rel)).st_mtime_ns for rel in tree(folder)}


def test_delta_patch(tmp):
    t = "delta"
    old, new = builds(tmp)
    lay_out(os.path.join(tmp, "old"), old, OLD_TIME)
    lay_out(os.path.join(tmp, "new"), new, NEW_TIME)
    whole, deltas = os.path.join(tmp, "whole"), os.path.join(tmp, "deltas")
    for out, extra in ((whole, []), (deltas, ["--delta"])):
        rc, stdout, stderr = tool("make", os.path.join(tmp, "old"), os.path.join(tmp, "new"),
                                  out, *SETTINGS, *extra)
        if rc != 0:
            return fail(t, f"make {extra}: exit {rc}: {stderr}")
    made = tree(deltas)
    for rel in ("game.exe", "data/story.pak"):
        if not made[rel].startswith(b"VXDELTA\x1a") or len(made[rel]) * 5 > len(new[rel]):
            fail(t, f"{rel}: no small delta ({len(made[rel])} bytes)")
    if made["readme.txt"] != new["readme.txt"] or made["data/extra.dat"] != new["data/extra.dat"]:
        fail(t, "a new or tiny file is not shipped whole")
    if "# deltas: 2 files" not in stdout:
        fail(t, f"make does not tell the size with and without deltas: {stdout}")
    if os.stat(os.path.join(deltas, "game.exe")).st_mtime != NEW_TIME:
        fail(t, "a delta does not carry NEW's time")
    if tool("check", "--old", os.path.join(tmp, "old"), deltas)[0] != 0:
        fail(t, "check --old refuses the patch made")

    # Applied: NEW byte for byte, NEW's times, the whole-file patch's questions.
    asked = {}
    for name, patch in (("whole", whole), ("deltas", deltas)):
        install = install_copy(tmp, "install-" + name, old)
        asked[name] = run(patch, install, tmp)
        if tree(install) != new:
            fail(t, f"{name}: the installation is not NEW byte for byte")
        if stamps(install)["game.exe"] != NEW_TIME * 10**9:
            fail(t, f"{name}: game.exe does not carry NEW's time")
    if asked["deltas"] != asked["whole"] or asked["whole"] != ["M2", "M7", "M6"]:
        fail(t, f"boxes {asked}")

    # A player's own version is refused, as plan foretells, and left as it was.
    mine = dict(old, **{"game.exe": old["game.exe"][:-1] + b"!"})
    install = install_copy(tmp, "install-mine", mine)
    rc, stdout, _ = tool("plan", deltas, install)
    if rc != 1 or not stdout.startswith("fail\tgame.exe") or "1 fail; 2 deltas" not in stdout:
        fail(t, f"plan: exit {rc}: {stdout}")
    before = stamps(install)
    ids = run(deltas, install, tmp)
    files = tree(install)
    if ids != ["M2", "M7", "M12", "M13", "M6"] or files["game.exe"] != mine["game.exe"] or \
            stamps(install)["game.exe"] != before["game.exe"] or files["readme.txt"] != b"1.02":
        fail(t, f"a player's game.exe: boxes {ids}")


def test_damage(tmp):
    """Each damaged patch file fails alone, and nothing of it is written."""
    t = "damage"
    old, new = builds(tmp)
    lay_out(os.path.join(tmp, "old"), old, OLD_TIME)
    lay_out(os.path.join(tmp, "new"), new, NEW_TIME)
    other = dict(new, **{"game.exe": new["game.exe"][::-1]})
    lay_out(os.path.join(tmp, "other"), other, NEW_TIME)
    good, second = os.path.join(tmp, "good"), os.path.join(tmp, "second")
    for out, build in ((good, "new"), (second, "other")):
        if tool("make", os.path.join(tmp, "old"), os.path.join(tmp, build), out, *SETTINGS,
                "--delta")[0] != 0:
            return fail(t, "make")
    made, swapped = tree(good), tree(second)
    damages = {
        "flipped": lambda b: b[:len(b) // 2] + bytes([b[len(b) // 2] ^ 1]) + b[len(b) // 2 + 1:],
        "cut": lambda b: b[:-1],
        "lengthened": lambda b: b + b"\0",
    }
    cases = [(rel, kind, damage(made[rel])) for rel in ("game.exe", "data/story.pak",
                                                        "data/extra.dat")
             for kind, damage in damages.items()]
    cases.append(("game.exe", "swapped", swapped["game.exe"]))
    for rel, kind, bad in cases:
        patch = os.path.join(tmp, f"patch-{kind}-{os.path.basename(rel)}")
        shutil.copytree(good, patch)
        with open(os.path.join(patch, rel), "wb") as f:
            f.write(bad)
        os.utime(os.path.join(patch, rel), (NEW_TIME, NEW_TIME))
        if tool("check", patch)[0] != 1:
            fail(t, f"{kind} {rel}: check does not find it")
        install = install_copy(tmp, f"install-{kind}-{os.path.basename(rel)}", old)
        before = stamps(install)
        ids = run(patch, install, tmp)
        want = dict(new)
        if rel in old:
            want[rel] = old[rel]
        else:
            del want[rel]
        if ids != ["M2", "M7", "M12", "M13", "M6"] or tree(install) != want or \
                stamps(install).get(rel) != before.get(rel):
            fail(t, f"{kind} {rel}: boxes {ids}")
        shutil.rmtree(install)
        shutil.rmtree(patch)


def test_manifest_absent_or_malformed(tmp):
    t = "manifest"
    old = {"a.dat": b"a 1.01", "b.dat": b"b 1.01"}
    new = {"a.dat": b"a 1.02", "b.dat": b"b 1.02"}
    lay_out(os.path.join(tmp, "old"), old, OLD_TIME)
    lay_out(os.path.join(tmp, "new"), new, NEW_TIME)
    patch = os.path.join(tmp, "patch")
    if tool("make", os.path.join(tmp, "old"), os.path.join(tmp, "new"), patch, *SETTINGS)[0]:
        return fail(t, "make")
    # Cut: the end line is gone. Every file fails; nothing is written.
    with open(os.path.join(patch, "update.sum"), "rb") as f:
        manifest = f.read()
    with open(os.path.join(patch, "update.sum"), "wb") as f:
        f.write(manifest[:manifest.rindex(b"end")])
    rc, out, err = tool("check", patch)
    if rc != 1 or "manifest-malformed" not in tool("check", "--json", patch)[1]:
        fail(t, f"check of a cut manifest: exit {rc} {err}")
    install = install_copy(tmp, "install-cut", old)
    ids = run(patch, install, tmp)
    if ids != ["M2", "M7", "M12", "M13", "M12", "M13", "M6"] or tree(install) != old:
        fail(t, f"a cut manifest: boxes {ids}")
    # None: copied as before, damaged or not.
    os.remove(os.path.join(patch, "update.sum"))
    with open(os.path.join(patch, "a.dat"), "wb") as f:
        f.write(b"a 1.0X")
    os.utime(os.path.join(patch, "a.dat"), (NEW_TIME, NEW_TIME))
    install = install_copy(tmp, "install-none", old)
    ids = run(patch, install, tmp)
    if ids != ["M2", "M7", "M6"] or tree(install) != {"a.dat": b"a 1.0X", "b.dat": b"b 1.02"}:
        fail(t, f"no manifest: boxes {ids}")


def main():
    tests = [test_delta_patch, test_damage, test_manifest_absent_or_malformed]
    for test in tests:
        tmp = tempfile.mkdtemp(prefix="vx-patchtool-delta-")
        try:
            test(tmp)
        finally:
            shutil.rmtree(tmp, ignore_errors=True)
    for f in base.failures:
        print("FAIL " + f)
    failed = {f.split(":")[0] for f in base.failures}
    print(f"patchtool deltas: {len(tests) - len(failed)} passed, {len(failed)} failed")
    return 1 if base.failures else 0


if __name__ == "__main__":
    sys.exit(main())

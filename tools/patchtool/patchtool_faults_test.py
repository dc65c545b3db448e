#!/usr/bin/env python3
"""patchtool against the patches that can't work: one case for each way a
patch used to be called ready and then failed on players' installations
(shapes, Windows names, NUL bytes, UTF-8, registry settings, links, one
destination spelled twice, zip time stamps, the installer, folders outside
the patch, the list's small traps), the publisher's questions (size,
questions, files only in OLD, plan --old/--new, --exclude, --strict), and
--json parsed. Patches made are applied by the real Linux installer.

usage: patchtool_faults_test.py PATCHTOOL UPDATE
"""
import json
import os
import shutil
import stat
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import patchtool_test as base  # noqa: E402
from patchtool_test import FAKE_PE, NEW_TIME, OLD_TIME, box_ids, lay_out, tool, tree  # noqa: E402

BASE = ["--title", "G", "--regbase", "Hoshiumi\\Adventure", "--reginstall", "InstallDir"]
failures = base.failures


def fail(test, message):
    failures.append(f"{test}: {message}")


def objects(stdout):
    """The JSON objects of a --json run, one per line."""
    return [json.loads(line) for line in stdout.splitlines()]


def codes(stdout, severity="error"):
    return {o["code"] for o in objects(stdout)
            if o["type"] == "finding" and o["severity"] == severity}


def make(tmp, old_files, new_files, *extra, out="out"):
    """Lays out OLD and NEW afresh and runs make --json; returns the exit
    status, the objects and OUT."""
    old, new, target = (os.path.join(tmp, n) for n in ("old", "new", out))
    for folder in (old, new, target):
        shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(old)
    os.makedirs(new)
    lay_out(old, old_files, OLD_TIME)
    lay_out(new, new_files, NEW_TIME)
    rc, stdout, _ = tool("make", old, new, target, *BASE, "--json", *extra)
    return rc, stdout, target


def refused(t, tmp, old_files, new_files, code, *extra):
    rc, stdout, out = make(tmp, old_files, new_files, *extra)
    if rc != 1 or code not in codes(stdout) or os.path.exists(out) or \
            any(e.startswith("out.patchtool") for e in os.listdir(tmp)):
        fail(t, f"{code}: exit {rc}, {stdout}")


def check(tmp, text, files=(), name="patch", *extra):
    """Writes a patch folder with an installer and runs check --json."""
    patch = os.path.join(tmp, name)
    shutil.rmtree(patch, ignore_errors=True)
    lay_out(patch, {f: "x" for f in files})
    lay_out(patch, {"Update.exe": FAKE_PE})
    with open(os.path.join(patch, "update.lst"), "wb") as f:
        f.write(text if isinstance(text, bytes) else text.encode("cp932"))
    rc, stdout, stderr = tool("check", "--json", *extra, patch)
    return rc, objects(stdout)


def lines_of(found, code):
    return [o.get("line") for o in found if o["type"] == "finding" and o["code"] == code]


def write_registry(path, value_name, install):
    escaped = install.replace("\\", "\\\\")
    name = "@" if value_name == "" else f'"{value_name}"'
    with open(path, "w", encoding="utf-8") as f:
        f.write("Windows Registry Editor Version 5.00\r\n\r\n"
                "[HKEY_CURRENT_USER\\Software\\Hoshiumi\\Adventure]\r\n"
                f'{name}="{escaped}"\r\n')


def test_shapes(tmp):
    t = "1 shapes"
    refused(t, tmp, {"a": "file"}, {"a/b.dat": "now a folder"}, "file-becomes-folder")
    refused(t, tmp, {"d/x.dat": "in a folder"}, {"d": "now a file"}, "folder-becomes-file")
    deep = "/".join(["f" * 50] * 5) + "/x.dat"  # 257 bytes: never fits below "C:\"
    refused(t, tmp, {}, {deep: "deep"}, "too-long")
    rc, stdout, _ = make(tmp, {}, {"/".join(["g" * 50] * 4) + "/x.dat": "long"})
    if rc != 0 or "long-path" not in codes(stdout, "warning"):
        fail(t, f"a path that fits only short folders: exit {rc}, {stdout}")
    # plan foresees what the installer meets: the folder question, then failure.
    patch, install = os.path.join(tmp, "p"), os.path.join(tmp, "i")
    lay_out(patch, {"a/b.dat": "x"})
    lay_out(install, {"a": "a file in the way"})
    with open(os.path.join(patch, "update.lst"), "w") as f:
        f.write("gametitle=G\nregbase=Hoshiumi\\Adventure\nreginstall=InstallDir\na\\b.dat\n")
    rc, stdout, _ = tool("plan", "--json", patch, install)
    steps = [o for o in objects(stdout) if o["type"] == "plan"]
    if rc != 1 or [(s["action"], s["folder_question"]) for s in steps] != [("fail", True)]:
        fail(t, f"plan: {stdout}")
    ids = box_ids(base.run_installer(base.UPDATE, patch, install, tmp))
    if ids != ["M2", "M7", "M9", "M10", "M13", "M6"]:
        fail(t, f"the installer asked {ids}")


def test_windows_names(tmp):
    t = "2 Windows names"
    for name in ("con.txt", "aux.dat", "NUL", "com1.txt", "lpt1", "dot.", "trail.txt ",
                 "CON/x.dat", "dir./x.dat"):
        refused(t, tmp, {}, {name: "x", "ok.dat": "y"}, "bad-name")
    for pair in (("ａ.txt", "Ａ.txt"), ("α.dat", "Α.dat"), ("я.dat", "Я.dat"), ("a.dat", "A.DAT")):
        refused(t, tmp, {}, {pair[0]: "1", pair[1]: "2"}, "one-name")
    # OLD's capital Greek name and NEW's small one are one file: changed, not new.
    rc, stdout, _ = make(tmp, {"Α.dat": "old"}, {"α.dat": "new"})
    files = [o for o in objects(stdout) if o["type"] == "file"]
    if rc != 0 or [(f["change"], f["path"]) for f in files] != [("changed", "α.dat")]:
        fail(t, f"a folded name: exit {rc}, {stdout}")
    rc, found = check(tmp, "gametitle=G\nregbase=K\nreginstall=V\n*.txt\n",
                      ["con.txt", "ａ.txt", "Ａ.txt"])
    if rc != 1 or lines_of(found, "bad-name") != [4] or lines_of(found, "one-name") != [0]:
        fail(t, f"check: {found}")


def test_nul_byte(tmp):
    t = "3 NUL byte"
    rc, found = check(tmp, b"gametitle=G\r\nregbase=K\r\n# x\x00\r\nreginstall=V\r\nmutexname=M\r\n")
    if rc != 1 or lines_of(found, "nul-byte") != [3]:
        fail(t, f"check: {found}")
    settings = os.path.join(tmp, "settings.lst")
    with open(settings, "wb") as f:
        f.write(b"gametitle=G\r\nregbase=K\x00\r\nreginstall=V\r\n")
    refused(t, tmp, {}, {"a.dat": "x"}, "nul-byte", "--settings", settings)


def test_utf8(tmp):
    t = "4 UTF-8"
    text = "gametitle=星海の冒険\nregbase=K\nreginstall=V\n".encode("utf-8")
    rc, found = check(tmp, text)
    if rc != 1 or lines_of(found, "utf-8") != [1]:
        fail(t, f"check: {found}")
    settings = os.path.join(tmp, "settings.lst")
    with open(settings, "wb") as f:
        f.write(text)
    rc, stdout, out = make(tmp, {}, {"a.dat": "x"}, "--settings", settings)
    if rc != 1 or "utf-8" not in codes(stdout) or os.path.exists(out):
        fail(t, f"make --settings: {stdout}")


def test_registry(tmp):
    t = "5 registry"
    for regbase in ("HKEY_CURRENT_USER\\Software\\Hoshiumi", "Software\\Hoshiumi",
                    "\\Hoshiumi\\Adventure", "Hoshiumi/Adventure", "Hoshiumi\\\\Adventure"):
        rc, found = check(tmp, f"gametitle=G\nregbase={regbase}\nreginstall=V\n")
        if rc != 1 or lines_of(found, "regbase") != [2]:
            fail(t, f"check {regbase}: {found}")
        refused(t, tmp, {}, {"a.dat": "x"}, "regbase", "--regbase", regbase)
    rc, found = check(tmp, "gametitle=G\nregbase=K\nreginstall =\n")
    if rc != 0 or found:
        fail(t, f"an empty reginstall: {found}")
    rc, found = check(tmp, "gametitle=G\nregbase=K\n")
    strict, _ = check(tmp, "gametitle=G\nregbase=K\n", (), "patch", "--strict")
    if rc != 0 or lines_of(found, "no-reginstall") != [0] or strict != 1:
        fail(t, f"no reginstall line: exit {rc}, --strict {strict}, {found}")
    # Made with an empty reginstall, the patch finds the key's default value.
    install = os.path.join(tmp, "install")
    lay_out(install, {"a.dat": "old"}, OLD_TIME)
    rc, stdout, out = make(tmp, {"a.dat": "old"}, {"a.dat": "new"}, "--reginstall", "")
    with open(os.path.join(out, "update.lst"), "rb") as f:
        listed = f.read()
    if rc != 0 or b"\r\nreginstall =\r\n" not in listed:
        fail(t, f"make --reginstall '': exit {rc}, {listed!r}")
    usual = base.write_registry
    base.write_registry = lambda path, where, value: write_registry(path, "", value)
    try:
        ids = box_ids(base.run_installer(base.UPDATE, out, install, tmp))
    finally:
        base.write_registry = usual
    if ids != ["M2", "M7", "M6"] or tree(install).get("a.dat") != b"new":
        fail(t, f"the key's default value was not found: {ids}")


def test_links(tmp):
    t = "6 links"
    new = os.path.join(tmp, "new")
    outside = os.path.join(tmp, "outside")
    lay_out(outside, {"secret.txt": "not part of the game"})
    for name, setup, code in (
            ("loop", lambda: os.symlink(new, os.path.join(new, "loop")), "unusable"),
            ("dangling", lambda: os.symlink("/nowhere", os.path.join(new, "gone.dat")), "unusable"),
            ("fifo", lambda: os.mkfifo(os.path.join(new, "pipe")), "unusable")):
        old = os.path.join(tmp, "old")
        for folder in (old, new, os.path.join(tmp, "out")):
            shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(old)
        lay_out(new, {"a.dat": "x"})
        setup()
        rc, stdout, _ = tool("make", old, new, os.path.join(tmp, "out"), *BASE, "--json")
        if rc != 1 or code not in codes(stdout) or os.path.exists(os.path.join(tmp, "out")):
            fail(t, f"{name}: exit {rc}, {stdout}")
        pattern = {"loop": "loop", "dangling": "*.dat", "fifo": "p?pe"}[name]
        rc, stdout, _ = tool("make", old, new, os.path.join(tmp, "out"), *BASE, "--json",
                             "--exclude", pattern, "--exclude", "nothing")
        if name != "dangling" and rc != 0:
            fail(t, f"{name} excluded: exit {rc}, {stdout}")
    shutil.rmtree(new)
    shutil.rmtree(os.path.join(tmp, "out"), ignore_errors=True)
    lay_out(new, {"a.dat": "x"})
    os.symlink(outside, os.path.join(new, "linked"))
    rc, stdout, _ = tool("make", os.path.join(tmp, "old"), new, os.path.join(tmp, "out"), *BASE,
                         "--json")
    if rc != 0 or "link-outside" not in codes(stdout, "warning"):
        fail(t, f"a link outside NEW: exit {rc}, {stdout}")


def test_one_destination(tmp):
    t = "7 one destination"
    for sub in ("/data", "\\\\data", "\\.\\data", "\\data\\.", "\\data\\"):
        rc, found = check(tmp, f"gametitle=G\nregbase=K\nreginstall=V\n"
                               f"a.dat\t{sub}\ndata\\a.dat\n", ["a.dat", "data/a.dat"])
        if lines_of(found, "written-twice") != [5]:
            fail(t, f"{sub!r}: {found}")
    # plan and the installer agree: the second write asks.
    check(tmp, "gametitle=G\nregbase=Hoshiumi\\Adventure\nreginstall=InstallDir\n"
               "a.dat\t/data\ndata\\a.dat\n", ["a.dat", "data/a.dat"])
    install = os.path.join(tmp, "install")
    os.makedirs(os.path.join(install, "data"))
    rc, stdout, _ = tool("plan", "--json", os.path.join(tmp, "patch"), install)
    steps = [o["action"] for o in objects(stdout) if o["type"] == "plan"]
    ids = box_ids(base.run_installer(base.UPDATE, os.path.join(tmp, "patch"), install, tmp))
    if steps != ["new", "ask"] or ids != ["M2", "M7", "M11", "M6"]:
        fail(t, f"plan {steps}, the installer asked {ids}")


def test_zip_times(tmp):
    t = "8 zip time stamps"
    old, new = os.path.join(tmp, "old"), os.path.join(tmp, "new")
    lay_out(old, {"a.dat": "1"}, OLD_TIME)
    lay_out(new, {"a.dat": "2"}, OLD_TIME + 3 * 3600)
    rc, stdout, _ = tool("make", old, new, os.path.join(tmp, "out"), *BASE, "--json")
    if rc != 0 or "zip-time" not in codes(stdout, "warning"):
        fail(t, f"3 hours newer: exit {rc}, {stdout}")
    rc, stdout, _ = tool("make", old, new, os.path.join(tmp, "out2"), *BASE, "--json", "--strict")
    if rc != 1 or os.path.exists(os.path.join(tmp, "out2")):
        fail(t, f"--strict: exit {rc}")


def test_installer(tmp):
    t = "9 installer"
    rc, stdout, out = make(tmp, {}, {"a.dat": "x"})
    packaged = os.path.exists("/usr/share/vxupdate/Update.exe")  # the package's, when installed
    if rc != 0 or ("no-installer" in codes(stdout, "warning")) == packaged or \
            os.path.exists(os.path.join(out, "Update.exe")) != packaged:
        fail(t, f"no installer: exit {rc}, {stdout}")
    refused(t, tmp, {}, {"a.dat": "x"}, "installer-kind", "--installer", base.UPDATE)
    rc, found = check(tmp, "gametitle=G\nregbase=K\nreginstall=V\n")
    os.remove(os.path.join(tmp, "patch", "Update.exe"))
    rc, stdout, _ = tool("check", "--json", os.path.join(tmp, "patch"))
    if rc != 0 or "no-installer" not in codes(stdout, "warning"):
        fail(t, f"check without an installer: {stdout}")
    shutil.copy(base.UPDATE, os.path.join(tmp, "patch", "Update.exe"))
    rc, stdout, _ = tool("check", "--json", os.path.join(tmp, "patch"))
    if rc != 1 or "installer-kind" not in codes(stdout):
        fail(t, f"check with the Linux program: {stdout}")


def test_many_top_files(tmp):
    t = "10 many top-level files"
    names = {f"f{i:04d}": str(i) for i in range(300)}
    names.update({"g1": "g", "g2": "g", " g3": "a short name G3~1 also starts with G"})
    rc, stdout, out = make(tmp, {}, names)
    with open(os.path.join(out, "update.lst"), "rb") as f:
        rules = f.read().decode("cp932").split("\r\n\r\n", 1)[1].split()
    if rc != 0 or sorted(rules) != ["?g3", "f*", "g1", "g2"]:
        fail(t, f"rules {rules}: {stdout}")
    install = os.path.join(tmp, "install")
    os.makedirs(install)
    ids = box_ids(base.run_installer(base.UPDATE, out, install, tmp))
    if ids != ["M2", "M7", "M6"] or tree(install) != {k: v.encode() for k, v in names.items()}:
        fail(t, f"the installer asked {ids}")


def test_outside_paths(tmp):
    t = "11 folders without a code page 932 form"
    home = os.path.join(tmp, "josé")
    os.makedirs(home)
    rc, stdout, out = make(home, {"a.dat": "old"}, {"a.dat": "new", "sub/b.dat": "b"})
    if rc != 0 or tree(out).get("sub/b.dat") != b"b":
        fail(t, f"make: exit {rc}, {stdout}")
    rc, stdout, _ = tool("plan", "--json", out, os.path.join(home, "old"))
    steps = [(o["action"], o["destination"]) for o in objects(stdout) if o["type"] == "plan"]
    if rc != 0 or steps != [("replace", os.path.join(home, "old") + "\\a.dat"),
                            ("new-folder", os.path.join(home, "old") + "\\sub\\b.dat")]:
        fail(t, f"plan: exit {rc}, {stdout}")
    # A name of NEW without a code page 932 form is refused, unless excluded.
    refused(t, tmp, {}, {"a.dat": "x", "notes-josé.txt": "y"}, "unusable")
    rc, stdout, _ = make(tmp, {}, {"a.dat": "x", "notes-josé.txt": "y"}, "--exclude", "notes-*")
    if rc != 0:
        fail(t, f"an excluded name without a code page 932 form: exit {rc}, {stdout}")


def test_small(tmp):
    t = "12 smaller"
    refused(t, tmp, {}, {"a.dat": "x"}, "control-character", "--title", "a\tb")
    rc, stdout, _ = make(tmp, {}, {"back\\slash.dat": "x"})
    if rc != 1 or "backslash" not in stdout:
        fail(t, f"a backslash: {stdout}")
    # A comment that ends in a lead byte takes the line feed: line 3 is lost
    # into line 2, and the numbers after it stay the file's own.
    rc, found = check(tmp, b"gametitle=G\n# \x82\nregbase=K\nreginstall=V\nnone.dat\n")
    if lines_of(found, "line-swallowed") != [2] or lines_of(found, "matches-nothing") != [5] or \
            lines_of(found, "no-regbase") != [0]:
        fail(t, f"a swallowed line: {found}")
    rc, found = check(tmp, "gametitle=G\nregbase=K\nreginstall=V\n"
                           "data\\*.dat    \\data\na.dat\t\\x\tthird\n", ["a.dat", "data/b.dat"])
    if rc != 1 or lines_of(found, "blanks-for-tab") != [4] or lines_of(found, "third-field") != [5]:
        fail(t, f"blanks and a third field: {found}")
    rc, stdout, stderr = tool("check", os.path.join(tmp, "patch"))
    if stdout or "update.lst:4: error: blanks, not a tab" not in stderr:
        fail(t, f"findings not on standard error: {stdout!r} {stderr!r}")
    # A read-only installed file newer than the patch's: first the question.
    patch, install = os.path.join(tmp, "rp"), os.path.join(tmp, "ri")
    lay_out(patch, {"a.dat": "new"}, OLD_TIME)
    lay_out(install, {"a.dat": "mine"}, NEW_TIME)
    os.chmod(os.path.join(install, "a.dat"), stat.S_IRUSR)
    with open(os.path.join(patch, "update.lst"), "w") as f:
        f.write("gametitle=G\nregbase=Hoshiumi\\Adventure\nreginstall=InstallDir\na.dat\n")
    rc, stdout, _ = tool("plan", "--json", patch, install)
    steps = [o for o in objects(stdout) if o["type"] == "plan"]
    if rc != 1 or [(s["action"], s["overwrite_question"]) for s in steps] != [("fail", True)]:
        fail(t, f"plan of a read-only newer file: {stdout}")
    if os.geteuid() != 0:
        ids = box_ids(base.run_installer(base.UPDATE, patch, install, tmp))
        if ids != ["M2", "M7", "M11", "M12", "M13", "M6"]:
            fail(t, f"the installer asked {ids}")


def test_publisher(tmp):
    t = "publisher"
    old = {"game.exe": "1", "data/a.dat": "a", "data/gone.dat": "gone", "tmp/x.log": "log"}
    new = {"game.exe": "2" * 5000, "data/a.dat": "a", "doc/readme.txt": "read", "tmp/y.log": "l",
           "data/b.dat": "b" * 300}
    rc, stdout, out = make(tmp, old, new, "--exclude", "tmp", "--exclude", "data/none*")
    found = objects(stdout)
    kinds = {o["type"] for o in found}
    size = next(o for o in found if o["type"] == "patch")
    questions = next(o for o in found if o["type"] == "questions")
    removed = [o["path"] for o in found if o["type"] == "file" and o["change"] == "only-in-old"]
    if rc != 0 or not {"file", "summary", "patch", "questions"} <= kinds or \
            size["largest"][0] != {"type": "largest", "path": "game.exe", "bytes": 5000} or \
            questions["folder_questions"] != 1 or removed != ["data\\gone.dat"] or \
            os.path.exists(os.path.join(out, "tmp")):
        fail(t, f"make: exit {rc}, {found}")
    install = os.path.join(tmp, "install")
    lay_out(install, {**old, "data/a.dat": "edited", "extra.dat": "mine"}, OLD_TIME)
    os.remove(os.path.join(install, "game.exe"))
    rc, stdout, _ = tool("plan", "--json", "--old", os.path.join(tmp, "old"), "--new",
                         os.path.join(tmp, "new"), out, install)
    told = sorted((o["action"], o["path"]) for o in objects(stdout) if o["type"] == "installed")
    if rc != 0 or told != [("differs", "data\\a.dat"), ("not-in-new", "data\\gone.dat"),
                           ("not-in-new", "extra.dat"), ("not-in-new", "tmp\\x.log")]:
        fail(t, f"plan --old --new: exit {rc}, {told}")
    rc, _, _ = tool("plan", "--strict", "--old", os.path.join(tmp, "old"), out, install)
    if rc != 1:
        fail(t, "plan --strict passed a differing file")
    ids = box_ids(base.run_installer(base.UPDATE, out, install, tmp))
    if ids != ["M2", "M7", "M9", "M6"] or tree(install).get("game.exe") != b"2" * 5000:
        fail(t, f"the installer asked {ids}")


def main():
    tests = [test_shapes, test_windows_names, test_nul_byte, test_utf8, test_registry, test_links,
             test_one_destination, test_zip_times, test_installer, test_many_top_files,
             test_outside_paths, test_small,
             test_publisher]
    for test in tests:
        tmp = tempfile.mkdtemp(prefix="vx-patchtool-")
        try:
            test(tmp)
        except (OSError, ValueError, StopIteration, KeyError) as e:
            fail(test.__name__, f"{type(e).__name__}: {e}")
        finally:
            shutil.rmtree(tmp, ignore_errors=True)
    for f in failures:
        print("FAIL " + f)
    failed = {f.split(":")[0] for f in failures}
    print(f"patchtool faults: {len(tests) - len(failed)} passed, {len(failed)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

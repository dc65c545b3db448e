#!/usr/bin/env python3
"""patchtool against real folders and the real Linux installer.

make: two builds with new, changed, unchanged and removed files, sub-folders,
names that a rule can't spell directly and double-byte names; the patch it
makes is applied by the installer to a copy of the old build. check: every
trap of the list format, and a clean list. plan: its lines against what the
installer then asks and does.

usage: patchtool_test.py PATCHTOOL UPDATE
"""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "app",
                                "e2e"))
from messages import expect  # noqa: E402
from run_linux import parse_boxes, write_registry  # noqa: E402

TOOL, UPDATE = (os.path.abspath(p) for p in sys.argv[1:3])
OLD_TIME, NEW_TIME, LATER = 1735732800, 1780315200, 1788264000
SETTINGS = ["--title", "星海の冒険", "--patch-name", "星海の冒険 Ver1.02 パッチ", "--mutex",
            "HoshiumiGame", "--regbase", "Hoshiumi\\Adventure", "--reginstall", "InstallDir"]
failures = []
# The smallest file that reads as a Windows program: an MZ head whose
# new-header offset (at 0x3C) leads to "PE\0\0".
FAKE_PE = b"MZ" + b"\0" * 58 + b"\x40\0\0\0" + b"PE\0\0" + b"\0" * 60


def fail(test, message):
    failures.append(f"{test}: {message}")


def tool(*args, cwd=None):
    proc = subprocess.run([TOOL, *args], cwd=cwd, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=60)
    return proc.returncode, proc.stdout.decode(), proc.stderr.decode()


def lay_out(root, files, when=NEW_TIME):
    for rel, content in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content if isinstance(content, bytes) else content.encode())
        os.utime(path, (when, when))


def tree(root):
    """Every file below root, relative, with its bytes."""
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, root)] = f.read()
    return found


def run_installer(binary, patch, install, tmp):
    """Runs the installer in the patch folder, answering every box with its
    first button except the stop question (M13), which gets No. Returns the
    boxes as (caption, text) pairs."""
    registry = os.path.join(tmp, "registry.reg")
    write_registry(registry, "hkcu", install)
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "VXUPDATE_REGISTRY": registry,
           "XDG_RUNTIME_DIR": tmp, "HOME": tmp}
    proc = subprocess.Popen([binary], cwd=patch, env=env, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out = b""
    while True:
        ch = proc.stdout.read(1)
        if not ch:
            break
        out += ch
        for prompt, answer in ((b"[OK]", b"ok"), (b"[OK/Cancel]", b"ok"), (b"[Yes/No]", b"yes")):
            if out.endswith(b"\n" + prompt):
                if out.decode().rsplit("== ", 1)[-1].startswith("中断確認"):
                    answer = b"no"
                proc.stdin.write(answer + b"\n")
                proc.stdin.flush()
    proc.wait(timeout=60)
    boxes, _ = parse_boxes(out.decode())
    return [(caption, text) for caption, text, _ in boxes]


def box_ids(boxes):
    """The message id of each box, by its caption and text."""
    ids = []
    for caption, text in boxes:
        for mid in ("M2patch", "M2title", "M6", "M7", "M8", "M9", "M10", "M11", "M12", "M13"):
            want_text, want_caption, _ = expect(mid)[1:]
            head = want_text.split("%s")[0]
            matches = text.endswith(want_text[2:]) if head == "" else text.startswith(head)
            if re.fullmatch(re.escape(want_caption).replace("%s", ".*"), caption) and matches:
                ids.append("M2" if mid.startswith("M2") else mid)
                break
        else:
            ids.append("?" + caption)
    return ids


OLD = {
    "game.exe": "game 1.01",
    "data/map01.dat": "map01",
    "data/map02.dat": "map02 1.01",
    "data/gone.dat": "removed in 1.02",
    "表/a.dat": "hyo 1.01",
    "#readme.txt": "readme 1.01",
}
NEW = {
    "game.exe": "game 1.02",
    "data/map01.dat": "map01",
    "data/map02.dat": "map02 1.02",
    "表/a.dat": "hyo 1.02",
    "表.dat": "double-byte name",
    "#readme.txt": "readme 1.02",
    "a=b.dat": "equals sign",
    " lead.txt": "leading blank",
    "bgm1.ogg": "bgm 1",
    "BGM2.OGG": "bgm 2",
    "x.data": "8.3 name X~1.DAT",
    "y.dat": "y", "z.dat": "z",
    "sound/se/hit.wav": "new folder, one file",
    "movie/op.mpg": "new folder, two files", "movie/ed.mpg": "second file",
}


def test_make_and_apply(tmp):
    t = "make"
    old, new, out, install = (os.path.join(tmp, n) for n in ("old", "new", "out", "install"))
    lay_out(old, OLD, OLD_TIME)
    lay_out(new, NEW, NEW_TIME)
    installer = os.path.join(tmp, "Update.exe")
    with open(installer, "wb") as f:
        f.write(FAKE_PE)
    rc, stdout, stderr = tool("make", old, new, out, *SETTINGS, "--installer", installer)
    if rc != 0:
        fail(t, f"exit {rc}: {stderr}")
        return
    changed = {"game.exe", "data/map02.dat", "表/a.dat", "#readme.txt"}
    expected = {rel: NEW[rel].encode() for rel in NEW if rel not in OLD or rel in changed}
    got = tree(out)
    if got.pop("Update.exe", None) != FAKE_PE:
        fail(t, "Update.exe is not the installer given")
    if got.pop("removed.txt", None) != b"data\\gone.dat\r\n":
        fail(t, "removed.txt does not list the file only in OLD")
    listing = got.pop("update.lst", b"")
    manifest = got.pop("update.sum", b"").decode("cp932").split("\n")
    listed = {line.split("\t")[-1].replace("\\", "/"): line.split("\t")[2]
              for line in manifest[1:-2]}
    if manifest[0] != "vxupdate-manifest 1" or listed != {
            rel: hashlib.sha256(data).hexdigest() for rel, data in expected.items()}:
        fail(t, "update.sum does not list every file of the patch with its SHA-256")
    if got != expected:
        fail(t, f"OUT holds {sorted(got)}, expected {sorted(expected)}")
    if os.path.getmtime(os.path.join(out, "game.exe")) != NEW_TIME:
        fail(t, "a copied file lost NEW's time")
    if b"\r\n" not in listing or re.search(rb"[^\r]\n", listing):
        fail(t, "update.lst lines do not end in CR LF")
    rules = listing.decode("cp932").split("\r\n\r\n", 1)[1].split("\r\n")
    for rule in ("*.ogg", "?readme.txt", "a?b.dat", "?lead.txt", "x.data", "y.dat", "z.dat", "表.dat", "movie\\*", "sound\\se\\hit.wav",
                 "data\\map02.dat", "表\\a.dat", "game.exe"):
        if rule not in rules:
            fail(t, f"no rule {rule!r} in {rules}")
    if len(rules) != 14:  # the 13 above and the empty last line
        fail(t, f"rules {rules}")
    if stderr.strip() != "patchtool: warning: 1 file is in OLD but not in NEW: the installer " \
                         "removes nothing (they are listed in removed.txt)":
        fail(t, f"warnings: {stderr!r}")
    for line in ("changed\t表\\a.dat", "new\ta=b.dat", "new\tsound\\se\\hit.wav"):
        if line not in stdout.splitlines():
            fail(t, f"no report line {line!r}")

    shutil.copytree(old, install)
    rc, plan, _ = tool("plan", out, install)
    boxes = run_installer(UPDATE, out, install, tmp)
    ids = box_ids(boxes)
    if ids != ["M2", "M7", "M9", "M9", "M6"]:
        fail(t, f"the installer asked {ids}: {boxes}")
    after = tree(install)
    for rel, content in NEW.items():
        if after.get(rel) != content.encode():
            fail(t, f"installed {rel} is {after.get(rel)!r}")
    if after.get("data/gone.dat") != b"removed in 1.02":
        fail(t, "a file only in OLD did not stay")
    if rc != 0 or [line.split("\t")[0] for line in plan.splitlines()].count("new-folder") != 2 \
            or "# the player is asked 2 folder questions and 0 overwrite questions" not in plan:
        fail(t, f"plan did not foresee two folders: {plan}")


def test_make_refusals(tmp):
    t = "make refusals"
    old, new = os.path.join(tmp, "old"), os.path.join(tmp, "new")
    lay_out(old, {"a.dat": "1", "b.dat": "same"}, NEW_TIME)
    lay_out(new, {"a.dat": "2", "b.dat": "same"}, OLD_TIME)
    base = ["--title", "G", "--regbase", "K", "--reginstall", "V"]

    def refused(name, args, status=1, out="out"):
        rc, _, stderr = tool("make", old, new, os.path.join(tmp, out), *args)
        lines = stderr.splitlines()
        if rc != status or (status == 1 and (not any(": error: " in line for line in lines)
                                             or lines[-1] != "patchtool: nothing written: the "
                                             "patch would fail (errors above)")):
            fail(t, f"{name}: exit {rc}, stderr {stderr!r}")
        if os.path.exists(os.path.join(tmp, out)) and out == "out":
            fail(t, f"{name}: OUT was written")

    refused("mutex of 16 bytes", base + ["--mutex", "0123456789abcdef"])
    refused("title cut", base + ["--title", "表" * 32])
    refused("no regbase", ["--title", "G", "--reginstall", "V"])
    refused("no title", ["--regbase", "K", "--reginstall", "V"])
    refused("title with blanks", base + ["--title", " x"])
    refused("unknown option", base + ["--colour", "red"], 64)
    if tool("make", old, new, *base)[0] != 64:
        fail(t, "make without OUT")
    os.makedirs(os.path.join(tmp, "full"))
    lay_out(os.path.join(tmp, "full"), {"keep.txt": "x"})
    refused("OUT not empty", base, 1, "full")
    if tree(os.path.join(tmp, "full")) != {"keep.txt": b"x"}:
        fail(t, "a full OUT was touched")
    settings = os.path.join(tmp, "settings.lst")
    with open(settings, "wb") as f:
        f.write(b"gametitle = G\r\nregbase = K\r\nreginstall = V\r\nmutexname = 0123456789ABCDEF\r\n")
    refused("mutex from --settings", ["--settings", settings])

    for name, files in (("name without code page 932 form", {"é.dat": "x"}),
                        ("folder starting with #", {"#data/x.dat": "x"}),
                        ("two names one pattern", {"=a": "1", "ba": "2"}),
                        ("names differing in case", {"A.dat": "1", "a.DAT": "2"})):
        bad = os.path.join(tmp, "bad")
        shutil.rmtree(bad, ignore_errors=True)
        lay_out(bad, files)
        rc, _, stderr = tool("make", old, bad, os.path.join(tmp, "out"), *base)
        if rc != 1 or os.path.exists(os.path.join(tmp, "out")):
            fail(t, f"{name}: exit {rc}, {stderr!r}")

    # Changed but older than OLD's copy: a warning, and --touch cures it.
    rc, _, stderr = tool("make", old, new, os.path.join(tmp, "out"), *base)
    if rc != 0 or "a.dat: changed, but not newer than in OLD" not in stderr:
        fail(t, f"older changed file: exit {rc}, {stderr!r}")
    before = time.time() - 5
    rc, _, stderr = tool("make", old, new, os.path.join(tmp, "touched"), *base, "--touch",
                         "--settings", settings.replace("settings", "none"))
    if rc != 1:
        fail(t, "a missing --settings file was taken")
    with open(settings, "wb") as f:
        f.write("gametitle = 星海の冒険\r\nregbase = K\r\nreginstall = V\r\n".encode("cp932"))
    rc, _, stderr = tool("make", old, new, os.path.join(tmp, "touched"), "--touch",
                         "--settings", settings)
    if rc != 0 or "error" in stderr or \
            os.path.getmtime(os.path.join(tmp, "touched", "a.dat")) < before:
        fail(t, f"--touch: exit {rc}, {stderr!r}")
    with open(os.path.join(tmp, "touched", "update.lst"), "rb") as f:
        if "gametitle = 星海の冒険\r\n".encode("cp932") not in f.read():
            fail(t, "--settings: the title was not taken")


CHECKS = [
    # (name, list, files beside it, expected lines)
    ("clean", "gametitle=G\nregbase=K\nreginstall=V\ngame.exe\ndata\\*.dat\t\\data2\n",
     ["game.exe", "data/a.dat"], []),
    ("mutex too long", "gametitle=G\nregbase=K\nreginstall=V\nmutexname=0123456789abcdef\n",
     [], ["4: error: mutexname is 16 bytes, at most 15 fit: the installer refuses the whole list"]),
    ("wrong case key", "GameTitle=G\nregbase=K\nreginstall=V\n", [],
     ["1: warning: key 'GameTitle' is ignored: keys are case-sensitive (write 'gametitle')",
      ": warning: no gametitle: the messages name no game"]),
    ("star at the top", "gametitle=G\nregbase=K\nreginstall=V\n*\n", ["a.dat"],
     ["4: error: the rule copies the installer Update.exe into the game",
      "4: error: the rule copies update.lst into the game"]),
    ("sub-path without backslash", "gametitle=G\nregbase=K\nreginstall=V\na.dat\tbin\n",
     ["a.dat"], ["4: warning: sub-path 'bin' has no leading backslash: it is appended to the "
                 "name of the install folder (C:\\Game + bin = C:\\Gamebin)"]),
    ("equals in a name", "gametitle=G\nregbase=K\nreginstall=V\na=b.dat\n", ["a=b.dat"],
     ["4: warning: unknown key 'a' is ignored (a line that holds '=' is never a copy rule)",
      ": warning: a=b.dat is copied by no rule"]),
    ("hash at the top", "gametitle=G\nregbase=K\nreginstall=V\n#readme.txt\n  #x.txt\n",
     ["#readme.txt", "#x.txt"],
     ["5: warning: not a comment (only a '#' in the first column starts one): read as a copy "
      "rule", ": warning: #readme.txt is copied by no rule"]),
    ("no registry", "gametitle=G\n", [],
     [": error: no regbase: the installer can't find the installation",
      ": warning: no reginstall: the installer reads the key's default value (write "
      "'reginstall =' to mean that)"]),
    ("not code page 932", b"gametitle=\x81\x20\nregbase=K\nreginstall=V\n", [],
     ["1: error: the line is not code page 932 text"]),
    ("title cut, set twice", "gametitle=G\ngametitle=" + "x" * 64 + "\nregbase=K\nreginstall=V\n",
     [], ["2: warning: gametitle is set again (first on line 1): this later value wins",
          "2: warning: gametitle is 64 bytes, at most 63 fit: players see it cut"]),
    ("nothing matched, twice written, climbing",
     "gametitle=G\nregbase=K\nreginstall=V\nnone.dat\na.dat\n*.dat\nb.dat\t\\..\\up\n",
     ["a.dat", "b.dat"],
     ["4: warning: the rule 'none.dat' matches no file",
      "6: warning: a.dat is written again to the same place (first by line 5): players are "
      "asked to overwrite it",
      "7: warning: '..' in sub-path '\\..\\up': the files go above it"]),
]


def test_check(tmp):
    for name, text, files, expected in CHECKS:
        patch = os.path.join(tmp, name.replace(" ", "_"))
        os.makedirs(patch)
        lay_out(patch, {f: "x" for f in files})
        lay_out(patch, {"Update.exe": FAKE_PE})
        with open(os.path.join(patch, "update.lst"), "wb") as f:
            f.write(text if isinstance(text, bytes) else text.encode("cp932"))
        rc, out, err = tool("check", patch)
        want = ["update.lst" + (":" if line[0].isdigit() else "") + line for line in expected]
        status = 1 if any(": error: " in line for line in want) else 0
        if sorted(err.splitlines()) != sorted(want) or rc != status or out:
            fail("check " + name, f"exit {rc}, got {out.splitlines()}, expected {want} {err}")


def test_plan_agrees(tmp):
    t = "plan"
    patch, install = os.path.join(tmp, "patch"), os.path.join(tmp, "install")
    lay_out(patch, {"new.dat": "n", "older.dat": "o", "newer.dat": "w", "locked.dat": "l",
                    "sub/a.dat": "a", "sub/b.dat": "b"}, NEW_TIME)
    lay_out(install, {"older.dat": "old", "locked.dat": "old"}, OLD_TIME)
    lay_out(install, {"newer.dat": "newer"}, LATER)
    os.chmod(os.path.join(install, "locked.dat"), 0o444)
    with open(os.path.join(patch, "update.lst"), "wb") as f:
        f.write(b"gametitle=G\r\nregbase=Hoshiumi\\Adventure\r\nreginstall=InstallDir\r\n"
                b"*.dat\r\nsub\\*\t\\extra\r\nnew.dat\r\n")
    rc, out, _ = tool("plan", patch, install)
    lines = [line.split("\t") for line in out.splitlines() if not line.startswith("#")]
    summary = [line for line in out.splitlines() if line.startswith("#")]
    what = [(line[0], line[1]) for line in lines]
    want = [("fail", "locked.dat"), ("new", "new.dat"), ("ask", "newer.dat"),
            ("replace", "older.dat"), ("new-folder", "sub\\a.dat"), ("new", "sub\\b.dat"),
            ("ask", "new.dat")]
    if rc != 1 or what != want or summary[:2] != [
            "# 7 files, 2 new, 1 new-folder, 1 replace, 2 ask, 1 fail",
            "# the player is asked 1 folder question and 2 overwrite questions"]:
        fail(t, f"exit {rc}: {out}")
    if lines and lines[0][2] != install + "\\locked.dat" or len(lines[0]) != 4:
        fail(t, f"first line {lines[0]}")
    if tree(install) != {"older.dat": b"old", "locked.dat": b"old", "newer.dat": b"newer"}:
        fail(t, "plan wrote into the installation")
    # The installer then asks exactly what the plan foretold, in its order.
    foretold = {"new-folder": ["M9"], "ask": ["M11"], "fail": ["M12", "M13"]}
    expected = ["M2", "M7"] + [m for w, _ in what for m in foretold.get(w, [])] + ["M6"]
    ids = box_ids(run_installer(UPDATE, patch, install, tmp))
    if ids != expected:
        fail(t, f"the installer asked {ids}, the plan foretold {expected}")


def main():
    tests = [test_make_and_apply, test_make_refusals, test_check, test_plan_agrees]
    rc, out, _ = tool("--version")
    if rc != 0 or not re.fullmatch(r"patchtool \d+\.\d+\.\d+\n", out):
        fail("version", out)
    if tool()[0] != 64 or tool("--help")[0] != 0 or tool("check")[0] != 64:
        fail("usage", "exit statuses")
    for test in tests:
        tmp = tempfile.mkdtemp(prefix="vx-patchtool-")
        try:
            test(tmp)
        finally:
            shutil.rmtree(tmp, ignore_errors=True)
    for f in failures:
        print("FAIL " + f)
    failed = {f.split(":")[0] for f in failures}
    print(f"patchtool: {len(tests) + 2 - len(failed)} passed, {len(failed)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

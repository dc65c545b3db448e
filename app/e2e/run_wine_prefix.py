#!/usr/bin/env python3
"""Runs the Linux installer in Wine prefix mode against a prefix that real
Wine made.

One private prefix is made with `wine reg add`, which records the install
folders as a game's installer would: below HKEY_CURRENT_USER (user.reg) and,
for one game, only below HKEY_USERS\\.DEFAULT (userdef.reg). Once Wine has
written its files and ended, the Linux `update` runs with WINEPREFIX set and
no VXUPDATE_REGISTRY, one scenario after another, each with its own patch
folder and install folder; its boxes and the files afterwards are checked,
and so is the prefix: every file outside the install folders byte-identical
at the end, and no entry of it changed by any scenario. When run as root,
the installer runs as the unprivileged user `nobody`, as a player would.

Skips (exit code 77) when Wine is not installed.

usage: run_wine_prefix.py UPDATE_BINARY [SCENARIO...]
"""
import hashlib
import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from messages import expect  # noqa: E402
from run_linux import PROMPTS, check_files, lay_out_scenario, parse_boxes  # noqa: E402
from scenarios import INSTALL, PATCH, PATCH_NAME, RULES, TITLE, M2, scenario  # noqa: E402

SKIP = 77
LINUX_INSTALL = "{TMP}/linux/Adventure"  # reached through Wine's drive Z:

# Scenario name -> (where the record is, key below Software\Hoshiumi, the
# recorded folder, the folder on disk relative to the prefix or {TMP}).
RECORDS = {
    "drive_c": ("HKCU", "DriveC", "C:\\Games\\Adventure", "drive_c/Games/Adventure"),
    "drive_z": ("HKCU", "DriveZ", None, LINUX_INSTALL),
    "letter_case": ("HKCU", "Case", "C:\\PROGRAM FILES\\hoshiumi\\ADVENTURE",
                    "drive_c/Program Files/Hoshiumi/Adventure"),
    "japanese_folder": ("HKCU", "Japanese", "C:\\ゲーム\\星海の冒険", "drive_c/ゲーム/星海の冒険"),
    "unmapped_drive": ("HKCU", "Unmapped", "Q:\\Games\\Adventure", None),
    "default_user_only": ("HKU\\.DEFAULT", "Fallback", "C:\\Fallback\\Adventure",
                          "drive_c/Fallback/Adventure"),
}


def update_list(base):
    return (f"gametitle = {TITLE}\npatchname = {PATCH_NAME}\nmutexname = VxTestGame\n"
            f"regbase = Hoshiumi\\{base}\nreginstall = InstallDir\n" + RULES)


def full_update(name, base):
    """The whole patch into an installation found through the prefix: M9 and
    the M7 line show the folder as the registry holds it."""
    return scenario(name, [
        (M2, "ok"), (expect("M7", "{PATCH}", "{INSTALL}"), "yes"),
        (expect("M11"), "ok"),
        (expect("M9", "{INSTALL}\\doc"), "ok"),
        (expect("M6", TITLE), "ok"),
    ], {"game.exe": "game 1.02", "data/map01.dat": "map01 1.02", "data/map02.dat": "map02 1.02",
        "doc/readme.txt": "readme 1.02"}, update_list=update_list(base), registry=None)


SCENARIOS = [
    full_update("drive_c", "DriveC"),
    full_update("drive_z", "DriveZ"),
    full_update("letter_case", "Case"),
    full_update("japanese_folder", "Japanese"),
    full_update("default_user_only", "Fallback"),
    # A drive the prefix does not map names no folder: the lookup succeeds,
    # the folder can't be made, and nothing appears in the prefix.
    scenario("unmapped_drive", [
        (M2, "ok"), (expect("M7", "{PATCH}", "{INSTALL}"), "yes"),
        (expect("M9", "{INSTALL}"), "ok"), (expect("M10"), "ok"), (expect("M13"), "yes"),
    ], update_list=update_list("Unmapped"), registry=None, install={}),
    # Without user.reg the current user's record is gone: not installed.
    scenario("no_user_reg", [(M2, "ok"), (expect("M3", TITLE), "ok")],
             update_list=update_list("DriveC"), registry=None, install={}),
]


def wine_env(tmp, prefix):
    return {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": os.path.join(tmp, "home"),
            "WINEPREFIX": prefix, "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
            "LANG": "C.UTF-8", "LC_ALL": "C.UTF-8"}


def wine(args, tmp, prefix, timeout=300):
    """Runs a Wine command to its end; output through a file, since Wine's
    service processes inherit it and keep it open."""
    with tempfile.TemporaryFile() as out:
        proc = subprocess.Popen(args, env=wine_env(tmp, prefix), stdout=out,
                                stderr=subprocess.STDOUT, start_new_session=True)
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            raise
        out.seek(0)
        return proc.returncode, out.read().decode("utf-8", "replace")


def make_prefix(tmp, prefix):
    """The prefix with every record; returns once Wine has written its files
    and ended."""
    os.makedirs(os.path.join(tmp, "home"))
    try:
        for name, (root, base, recorded, _) in RECORDS.items():
            if recorded is None:
                recorded = "Z:" + LINUX_INSTALL.replace("{TMP}", tmp).replace("/", "\\")
            code, out = wine(["wine", "reg", "add", f"{root}\\Software\\Hoshiumi\\{base}", "/v",
                              "InstallDir", "/t", "REG_SZ", "/d", recorded, "/f"], tmp, prefix)
            if code != 0:
                raise RuntimeError(f"wine reg add failed for {name}: {out}")
        wine(["wineserver", "-w"], tmp, prefix)
    finally:
        wine(["wineserver", "-k"], tmp, prefix, timeout=60)


def snapshot(top, skip=(), contents=False):
    """Every entry below top (but those below the folders in skip): its kind,
    mode, size and time, or its whole contents' digest; a link's target."""
    seen = {}
    for root, dirs, files in os.walk(top):
        dirs[:] = sorted(d for d in dirs if os.path.join(root, d) not in skip)
        for name in sorted(dirs + files):
            path = os.path.join(root, name)
            if path in skip:
                continue
            st = os.lstat(path)
            if os.path.islink(path):
                seen[path] = ("link", os.readlink(path))
            elif os.path.isdir(path):
                seen[path] = ("folder", st.st_mode, st.st_mtime_ns)
            elif contents:
                with open(path, "rb") as f:
                    seen[path] = ("file", st.st_mode, hashlib.sha256(f.read()).hexdigest())
            else:
                seen[path] = ("file", st.st_mode, st.st_size, st.st_mtime_ns, st.st_ino)
    return seen


def differences(before, after):
    changed = [p for p in before if before[p] != after.get(p)] + \
              [p for p in after if p not in before]
    return sorted(changed)[:10]


def run(binary, sc, tmp, prefix, as_user, install_folders):
    failures = []
    work = os.path.join(tmp, "runs", sc["name"])
    patch = os.path.join(work, "patch")
    rundir = os.path.join(work, "run")
    os.makedirs(patch)
    os.makedirs(rundir)
    where = RECORDS.get(sc["name"])
    recorded = where[2] if where else "C:\\Games\\Adventure"
    if recorded is None:
        recorded = "Z:" + LINUX_INSTALL.replace("{TMP}", tmp).replace("/", "\\")
    install = install_folders.get(sc["name"])
    lay_out_scenario({**sc, "install": {}, "extra_install_files": {}}, patch, work)
    if as_user is not None:
        for root, dirs, files in os.walk(work):
            for name in dirs + files + ["."]:
                os.lchown(os.path.join(root, name), as_user.pw_uid, as_user.pw_gid)
    # The prefix as it was, but for this scenario's installation.
    before = snapshot(prefix, skip=set(install_folders.values()))

    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "WINEPREFIX": prefix,
           "XDG_RUNTIME_DIR": rundir, "HOME": os.path.join(tmp, "home")}
    cmd = [os.path.join(tmp, "update")]
    if as_user is not None:
        cmd = ["setpriv", f"--reuid={as_user.pw_uid}", f"--regid={as_user.pw_gid}",
               "--clear-groups", "--"] + cmd
    answers = "".join(answer + "\n" for _, answer in sc["boxes"])
    proc = subprocess.run(cmd, cwd=patch, env=env, input=answers.encode(),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    out = proc.stdout.decode("utf-8", "replace")
    if proc.returncode != 0:
        failures.append(f"exit code {proc.returncode}, expected 0")
    boxes, rest = parse_boxes(out)
    if rest.strip():
        failures.append(f"output after the last box: {rest!r}")
    expected = [(mid, text.replace("{PATCH}", patch).replace("{INSTALL}", recorded), caption,
                 PROMPTS[style]) for (mid, text, caption, style), _ in sc["boxes"]]
    for i in range(max(len(boxes), len(expected))):
        got = boxes[i] if i < len(boxes) else None
        want = expected[i] if i < len(expected) else None
        if want is None:
            failures.append(f"box {i + 1}: unexpected {got}")
        elif got is None:
            failures.append(f"box {i + 1}: {want[0]} missing")
        elif got != (want[2], want[1], want[3]):
            failures.append(f"box {i + 1}: expected {want[0]} {want[1:]!r}, got {got!r}")
    if install is not None:
        failures += check_files(sc, install)
    changed = differences(before, snapshot(prefix, skip=set(install_folders.values())))
    if changed:
        failures.append(f"changed in the prefix: {changed}")
    if failures:
        failures.append("transcript:\n" + out + proc.stderr.decode("utf-8", "replace"))
    return failures


def main():
    binary = os.path.abspath(sys.argv[1])
    wanted = set(sys.argv[2:])
    if shutil.which("wine") is None or shutil.which("wineserver") is None:
        print("SKIP: Wine is not installed (Debian package wine); prefix mode not tested")
        return SKIP
    as_user = pwd.getpwnam("nobody") if os.geteuid() == 0 else None
    tmp = tempfile.mkdtemp(prefix="vx-e2e-prefix-")
    passed = failed = 0
    try:
        prefix = os.path.join(tmp, "prefix")
        make_prefix(tmp, prefix)
        # The same prefix without user.reg (hard links: nothing may change).
        bare = os.path.join(tmp, "prefix-without-user-reg")
        subprocess.run(["cp", "-al", prefix, bare], check=True)
        os.unlink(os.path.join(bare, "user.reg"))

        installs = {}
        for name, (_, _, _, folder) in RECORDS.items():
            if folder is not None:
                installs[name] = (folder.replace("{TMP}", tmp) if folder.startswith("{TMP}")
                                  else os.path.join(prefix, folder))
        for sc in SCENARIOS:
            if sc["name"] in installs:
                lay_out_scenario({**sc, "patch": {}, "list": None}, tmp, installs[sc["name"]])
        os.makedirs(os.path.join(tmp, "runs"))
        shutil.copy2(binary, os.path.join(tmp, "update"))
        if as_user is not None:
            for root, dirs, files in os.walk(tmp):
                for name in dirs + files + ["."]:
                    os.lchown(os.path.join(root, name), as_user.pw_uid, as_user.pw_gid)
        untouched = {p: snapshot(p, skip=set(installs.values()), contents=True)
                     for p in (prefix, bare)}

        for sc in SCENARIOS:
            if wanted and sc["name"] not in wanted:
                continue
            where = bare if sc["name"] == "no_user_reg" else prefix
            failures = run(binary, sc, tmp, where, as_user, installs)
            if failures:
                failed += 1
                print(f"FAIL {sc['name']}")
                for f in failures:
                    print("    " + f.replace("\n", "\n    "))
            else:
                passed += 1
                print(f"ok   {sc['name']}", flush=True)
        for p, before in untouched.items():
            changed = differences(before, snapshot(p, skip=set(installs.values()), contents=True))
            if changed:
                failed += 1
                print(f"FAIL prefix {os.path.basename(p)} not byte-identical: {changed}")
            else:
                passed += 1
                print(f"ok   prefix {os.path.basename(p)} byte-identical afterwards")
    except (RuntimeError, subprocess.SubprocessError) as e:
        print(f"FAIL set-up: {e}")
        failed += 1
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

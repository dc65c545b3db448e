#!/usr/bin/env python3
"""Runs the Linux installer in Wine prefix mode against a prefix that real
Wine made.

`wine reg add` makes one private prefix and records every scenario's install
folder in it, as a game's installer would: below HKEY_CURRENT_USER (user.reg)
or only below HKEY_USERS\\.DEFAULT (userdef.reg). Once Wine has ended, the
Linux `update` runs in each scenario's patch folder with WINEPREFIX set and
no VXUPDATE_REGISTRY; its boxes and the installation are checked, and the
prefix: no entry outside the install folders changed by any scenario, every
file byte-identical at the end. As root, the installer runs as `nobody`.
Skips (exit code 77) without Wine.

usage: run_wine_prefix.py UPDATE_BINARY
"""
import hashlib
import os
import pwd
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from messages import expect  # noqa: E402
from run_linux import check_files, lay_out_scenario, play  # noqa: E402
from scenarios import M2, PATCH_NAME, RULES, TITLE, scenario  # noqa: E402

UPDATED = {"game.exe": "game 1.02", "data/map01.dat": "map01 1.02",
           "data/map02.dat": "map02 1.02", "doc/readme.txt": "readme 1.02"}
M7 = expect("M7", "{PATCH}", "{INSTALL}")


def case(name, root, recorded, folder, boxes=None, files=None, link=False, **kw):
    """A game recorded below root\\Software\\Hoshiumi\\<name> as `recorded`,
    installed in `folder` (below the prefix; {TMP}: the run's folder). With
    link, the value is recorded below <name>_target, and <name> is a key that
    Wine keeps as a link to it."""
    listing = (f"gametitle = {TITLE}\npatchname = {PATCH_NAME}\nmutexname = VxTestGame\n"
               f"regbase = Hoshiumi\\{name}\nreginstall = InstallDir\n" + RULES)
    boxes = boxes or [(M2, "ok"), (M7, "yes"), (expect("M11"), "ok"),
                      (expect("M9", "{INSTALL}\\doc"), "ok"), (expect("M6", TITLE), "ok")]
    sc = scenario(name, boxes, UPDATED if files is None else files, update_list=listing, **kw)
    return {**sc, "root": root, "recorded": recorded, "folder": folder, "link": link}


SCENARIOS = [
    case("drive_c", "HKCU", "C:\\Games\\Adventure", "drive_c/Games/Adventure"),
    case("drive_z", "HKCU", "Z:{TMP}\\linux\\Adventure", "{TMP}/linux/Adventure"),
    case("letter_case", "HKCU", "C:\\PROGRAM FILES\\hoshiumi\\ADVENTURE",
         "drive_c/Program Files/Hoshiumi/Adventure"),
    case("japanese_folder", "HKCU", "C:\\ゲーム\\星海の冒険", "drive_c/ゲーム/星海の冒険"),
    case("default_user_only", "HKU\\.DEFAULT", "C:\\Fallback\\Adventure",
         "drive_c/Fallback/Adventure"),
    # A drive the prefix does not map names no folder: the lookup succeeds,
    # the folder can't be made, and nothing appears in the prefix.
    case("unmapped_drive", "HKCU", "Q:\\Games\\Adventure", None, install={}, files={}, boxes=[
        (M2, "ok"), (M7, "yes"), (expect("M9", "{INSTALL}"), "ok"), (expect("M10"), "ok"),
        (expect("M13"), "yes")]),
    # `.` and `..` after the drive stay inside it, as on Windows: C:\..\x is
    # C:\x, never the prefix's own folder (whose files stay byte-identical).
    case("dots_at_root", "HKCU", "C:\\..\\DotDot", "drive_c/DotDot"),
    case("dots_below", "HKCU", "C:\\Games\\x\\..\\..\\..\\.\\SubDot", "drive_c/SubDot"),
    # A key Wine keeps as a link is followed to the key it names.
    case("linked", "HKCU", "C:\\Games\\Linked", "drive_c/Games/Linked", link=True),
]
# The same prefix without user.reg: the current user's record is gone.
NO_USER_REG = scenario("no_user_reg", [(M2, "ok"), (expect("M3", TITLE), "ok")],
                       update_list=SCENARIOS[0]["list"], install={})


def wine(args, tmp, prefix):
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": os.path.join(tmp, "home"),
           "WINEPREFIX": prefix, "WINEDEBUG": "-all", "LANG": "C.UTF-8", "LC_ALL": "C.UTF-8",
           "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d"}
    # Output through a file: Wine's service processes keep a pipe open.
    with tempfile.TemporaryFile() as out:
        code = subprocess.run(args, env=env, stdout=out, stderr=subprocess.STDOUT,
                              timeout=300).returncode
        out.seek(0)
        if code != 0:
            raise RuntimeError(f"{' '.join(args)}: {out.read().decode('utf-8', 'replace')}")


def add_links(prefix, names):
    """Makes each Software\\Hoshiumi\\<name> of user.reg a link to
    <name>_target, in the form Wine keeps such a key in."""
    with open(os.path.join(prefix, "user.reg"), "a") as f:
        for name in names:
            target = f"\\REGISTRY\\User\\S-1-5-21-0-0-0-1000\\Software\\Hoshiumi\\{name}_target"
            data = ",".join(f"{b:02x}" for b in target.encode("utf-16-le"))
            f.write(f"\n[Software\\\\Hoshiumi\\\\{name}] 1796657451\n#time=1dd865ff1551502\n"
                    f"#link\n\"SymbolicLinkValue\"=hex(6):{data}\n")


def snapshot(top, skip, contents=False):
    """Each entry below top but the folders in skip: kind, mode, and size,
    time and inode or the contents' digest; a link's target."""
    seen = {}
    for root, dirs, files in os.walk(top):
        dirs[:] = [d for d in dirs if os.path.join(root, d) not in skip]
        for path in (os.path.join(root, n) for n in dirs + files):
            st = os.lstat(path)
            if os.path.islink(path):
                seen[path] = os.readlink(path)
            elif os.path.isfile(path) and contents:
                with open(path, "rb") as f:
                    seen[path] = (st.st_mode, hashlib.sha256(f.read()).hexdigest())
            else:
                seen[path] = (st.st_mode, st.st_size, st.st_mtime_ns, st.st_ino)
    return seen


def changed(before, after):
    return sorted(p for p in before.keys() | after.keys() if before.get(p) != after.get(p))[:10]


def main():
    binary = os.path.abspath(sys.argv[1])
    if shutil.which("wine") is None or shutil.which("wineserver") is None:
        print("SKIP: Wine is not installed (Debian package wine); prefix mode not tested")
        return 77
    as_user = pwd.getpwnam("nobody") if os.geteuid() == 0 else None
    tmp = tempfile.mkdtemp(prefix="vx-e2e-prefix-")
    prefix = os.path.join(tmp, "prefix")
    bare = os.path.join(tmp, "prefix-without-user-reg")
    failed = []
    try:
        os.makedirs(os.path.join(tmp, "home"))
        try:
            for sc in SCENARIOS:
                sc["recorded"] = sc["recorded"].replace("{TMP}", tmp.replace("/", "\\"))
                key = sc["name"] + ("_target" if sc["link"] else "")
                wine(["wine", "reg", "add", f"{sc['root']}\\Software\\Hoshiumi\\{key}",
                      "/v", "InstallDir", "/t", "REG_SZ", "/d", sc["recorded"], "/f"], tmp, prefix)
            wine(["wineserver", "-w"], tmp, prefix)  # until Wine has written its files
        finally:
            subprocess.run(["wineserver", "-k"], env={**os.environ, "WINEPREFIX": prefix},
                           stderr=subprocess.DEVNULL)
        add_links(prefix, [sc["name"] for sc in SCENARIOS if sc["link"]])
        subprocess.run(["cp", "-al", prefix, bare], check=True)
        os.unlink(os.path.join(bare, "user.reg"))
        installs = {}
        for sc in SCENARIOS:
            if sc["folder"]:
                installs[sc["name"]] = os.path.join(prefix, sc["folder"].replace("{TMP}/", tmp + "/"))
                lay_out_scenario({**sc, "patch": {}, "list": None}, tmp, installs[sc["name"]])
        for sc in SCENARIOS + [NO_USER_REG]:
            os.makedirs(os.path.join(tmp, "runs", sc["name"], "patch"))
            lay_out_scenario({**sc, "install": {}, "extra_install_files": {}},
                             os.path.join(tmp, "runs", sc["name"], "patch"), tmp)
        shutil.copy2(binary, os.path.join(tmp, "update"))
        if as_user is not None:
            for root, dirs, files in os.walk(tmp):
                for name in dirs + files + ["."]:
                    os.lchown(os.path.join(root, name), as_user.pw_uid, as_user.pw_gid)
        skip = set(installs.values())
        untouched = {p: snapshot(p, skip, contents=True) for p in (prefix, bare)}

        for sc in SCENARIOS + [NO_USER_REG]:
            where = bare if sc is NO_USER_REG else prefix
            patch = os.path.join(tmp, "runs", sc["name"], "patch")
            env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "WINEPREFIX": where,
                   "XDG_RUNTIME_DIR": os.path.dirname(patch), "HOME": os.path.join(tmp, "home")}
            cmd = [os.path.join(tmp, "update")]
            if as_user is not None:
                cmd = ["setpriv", f"--reuid={as_user.pw_uid}", f"--regid={as_user.pw_gid}",
                       "--clear-groups", "--"] + cmd
            before = snapshot(where, skip)
            failures, transcript = play(cmd, patch, env, sc, sc.get("recorded", ""))
            if sc["name"] in installs:
                failures += check_files(sc, installs[sc["name"]])
            if changed(before, snapshot(where, skip)):
                failures.append(f"changed in the prefix: {changed(before, snapshot(where, skip))}")
            print(f"{'FAIL' if failures else 'ok  '} {sc['name']}", flush=True)
            for f in failures + (["transcript:\n" + (transcript or "")] if failures else []):
                print("    " + f.replace("\n", "\n    "))
            failed += [sc["name"]] if failures else []
        for p, before in untouched.items():
            diff = changed(before, snapshot(p, skip, contents=True))
            print(f"{'FAIL' if diff else 'ok  '} {os.path.basename(p)} byte-identical {diff or ''}")
            failed += [p] if diff else []
    except (RuntimeError, OSError, subprocess.SubprocessError) as e:
        print(f"FAIL set-up: {e}")
        failed.append("set-up")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print(f"{len(failed)} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

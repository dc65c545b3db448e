#!/usr/bin/env python3
"""End-to-end cases of the Linux installer that need more than a scenario's
registry file and answers: arguments, the line on standard error when the
game counts as not installed, Wine prefixes laid out by hand (Wine's default
prefix, `..` after a drive, a relative or foreign WINEPREFIX), and the
progress line on a pseudo-terminal. As root, the installer runs as `nobody`.

usage: run_linux_edges.py UPDATE_BINARY [CASE...]
"""
import hashlib
import os
import pty
import pwd
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from messages import expect  # noqa: E402
from run_linux import check_files, lay_out_scenario, play, write_registry  # noqa: E402
from scenarios import INSTALL, M2, M7, NEW, OLD, PATCH, RULES, SETTINGS, TITLE, UNTOUCHED, \
    scenario  # noqa: E402

UPDATED = {"game.exe": "game 1.02", "data/map01.dat": "map01 1.02",
           "data/map02.dat": "map02 1.02", "doc/readme.txt": "readme 1.02"}
FULL = [(M2, "ok"), (M7, "yes"), (expect("M11"), "ok"), (expect("M9", "{INSTALL}\\doc"), "ok"),
        (expect("M6", TITLE), "ok")]
NOT_INSTALLED = [(M2, "ok"), (expect("M3", TITLE), "ok")]
USER_REG = ("WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000"
            "\n\n#arch=win32\n\n[Software\\\\Hoshiumi\\\\Adventure] 1796657451\n"
            "#time=1dd865ff1551502\n\"InstallDir\"=\"{value}\"\n")


class Run:
    """A scenario's folders below a temporary folder, and how to run the
    installer there (as `nobody` when root)."""

    def __init__(self, binary, as_user, sc):
        self.tmp = tempfile.mkdtemp(prefix=f"vx-e2e-edge-{sc['name']}-")
        self.sc = sc
        self.as_user = as_user
        self.patch = os.path.join(self.tmp, "patch")
        self.home = os.path.join(self.tmp, "home")
        for d in (self.patch, self.home, os.path.join(self.tmp, "run")):
            os.makedirs(d)
        lay_out_scenario({**sc, "install": {}, "extra_install_files": {}}, self.patch, self.tmp)
        self.binary = os.path.join(self.tmp, "update")
        shutil.copy2(binary, self.binary)
        self.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.home,
                    "XDG_RUNTIME_DIR": os.path.join(self.tmp, "run")}

    def install(self, folder):
        """Lays the scenario's installation out in folder."""
        os.makedirs(folder, exist_ok=True)
        lay_out_scenario({**self.sc, "patch": {}, "list": None}, self.tmp, folder)
        return folder

    def cmd(self, *args):
        if self.as_user is None:
            return [self.binary, *args]
        for root, dirs, files in os.walk(self.tmp):
            for name in dirs + files + ["."]:
                os.lchown(os.path.join(root, name), self.as_user.pw_uid, self.as_user.pw_gid)
        return ["setpriv", f"--reuid={self.as_user.pw_uid}", f"--regid={self.as_user.pw_gid}",
                "--clear-groups", "--", self.binary, *args]

    def play(self, install, shown_install=None):
        """Plays the scenario; returns failures and what went to stderr."""
        err = []
        failures, transcript = play(self.cmd(), self.patch, self.env, self.sc,
                                    shown_install or install or "", stderr=err)
        if install is not None:
            failures += check_files(self.sc, install)
        if failures:
            failures.append(f"transcript:\n{transcript}")
        return failures, "".join(err)

    def close(self):
        shutil.rmtree(self.tmp, ignore_errors=True)


def digest(top):
    """Every entry below top with its contents' digest (a link: its target)."""
    seen = {}
    for root, dirs, files in os.walk(top):
        for path in (os.path.join(root, n) for n in dirs + files):
            if os.path.islink(path):
                seen[path] = "-> " + os.readlink(path)
            elif os.path.isfile(path):
                with open(path, "rb") as f:
                    seen[path] = hashlib.sha256(f.read()).hexdigest()
            else:
                seen[path] = "folder"
    return seen


def make_prefix(folder, value):
    """A prefix as Wine lays it out: user.reg recording value, and drive C:."""
    os.makedirs(os.path.join(folder, "dosdevices"))
    os.makedirs(os.path.join(folder, "drive_c"))
    os.symlink("../drive_c", os.path.join(folder, "dosdevices", "c:"))
    escaped = value.replace("\\", "\\\\")
    with open(os.path.join(folder, "user.reg"), "w") as f:
        f.write(USER_REG.format(value=escaped))
    with open(os.path.join(folder, "userdef.reg"), "w") as f:
        f.write("WINE REGISTRY Version 2\n")


def full_scenario(name, boxes=FULL, files=UPDATED):
    return scenario(name, boxes, files)


def case_arguments(binary, as_user):
    """Any argument but --help or --version alone: the usage on stderr, status
    64, and nothing else happens (no box, no file touched)."""
    failures = []
    r = Run(binary, as_user, full_scenario("arguments"))
    try:
        install = r.install(os.path.join(r.tmp, "installation"))
        registry = os.path.join(r.tmp, "registry.reg")
        write_registry(registry, "hkcu", install)
        r.env["VXUPDATE_REGISTRY"] = registry
        before = digest(r.tmp)
        for args, status in ((["--dry-run"], 64), (["--help", "x"], 64), (["-"], 64),
                             (["--version"], 0), (["--help"], 0)):
            proc = subprocess.run(r.cmd(*args), cwd=r.patch, env=r.env, input=b"ok\nyes\n",
                                  capture_output=True, timeout=30)
            out, err = proc.stdout.decode(), proc.stderr.decode()
            if proc.returncode != status:
                failures.append(f"{args}: exit status {proc.returncode}, expected {status}")
            if status == 64 and (out or not err.startswith("usage: update")):
                failures.append(f"{args}: stdout {out!r}, stderr {err!r}")
            if "==" in out:
                failures.append(f"{args}: a box was shown: {out!r}")
        if digest(r.tmp) != before:
            failures.append("files changed")
    finally:
        r.close()
    return failures


def case_drive_path_in_registry_file(binary, as_user):
    """C:\\Games in a registry file: M3, a line on stderr naming the file and
    the reason, and no folder made inside the patch folder."""
    r = Run(binary, as_user, scenario("drive_path", NOT_INSTALLED, UNTOUCHED))
    try:
        registry = os.path.join(r.tmp, "registry.reg")
        write_registry(registry, "hkcu", "C:\\Games")
        r.env["VXUPDATE_REGISTRY"] = registry
        before = digest(r.patch)
        failures, err = r.play(None)
        lines = err.splitlines()
        if len(lines) != 1 or "C:\\Games" not in err or "not an absolute Linux path" not in err \
                or registry not in err:
            failures.append(f"stderr: {err!r}")
        if digest(r.patch) != before:
            failures.append("the patch folder changed")
    finally:
        r.close()
    return failures


def case_default_prefix(binary, as_user):
    """No WINEPREFIX, no VXUPDATE_REGISTRY, no registry file: ~/.wine is the
    prefix when it holds user.reg; without one, M3 says where it looked."""
    r = Run(binary, as_user, full_scenario("default_prefix"))
    try:
        make_prefix(os.path.join(r.home, ".wine"), "C:\\Games\\Adventure")
        install = r.install(os.path.join(r.home, ".wine", "drive_c", "Games", "Adventure"))
        failures, err = r.play(install, "C:\\Games\\Adventure")
        if err:
            failures.append(f"stderr: {err!r}")
        os.unlink(os.path.join(r.home, ".wine", "user.reg"))
        r.sc = scenario("default_prefix", NOT_INSTALLED, {})
        more, err = r.play(None)
        failures += more
        if "~/.wine holds no user.reg" not in err or "registry.reg" not in err:
            failures.append(f"stderr without user.reg: {err!r}")
    finally:
        r.close()
    return failures


def case_dots_after_drive(binary, as_user):
    """C:\\..\\x is C:\\x and a sub-path with `..` stays inside the drive: the
    patch goes there, and every other file of the prefix is byte-identical."""
    failures = []
    for recorded, folder in (("C:\\..\\Adventure", "drive_c/Adventure"),
                             ("C:\\Games\\..\\..\\..\\Games\\.\\Adventure", "drive_c/Games/Adventure")):
        r = Run(binary, as_user, full_scenario("dots"))
        try:
            prefix = os.path.join(r.tmp, "prefix")
            make_prefix(prefix, recorded)
            install = r.install(os.path.join(prefix, folder))
            before = {p: d for p, d in digest(prefix).items() if not p.startswith(install)}
            r.env["WINEPREFIX"] = prefix
            more, _ = r.play(install, recorded)
            failures += [f"{recorded}: {f}" for f in more]
            after = {p: d for p, d in digest(prefix).items() if not p.startswith(install)}
            if after != before:
                failures.append(f"{recorded}: prefix changed: "
                                f"{sorted(set(after.items()) ^ set(before.items()))[:5]}")
        finally:
            r.close()
    return failures


def case_prefixes_wine_refuses(binary, as_user):
    """A relative WINEPREFIX, and one another user owns (made as root, used
    by `nobody`): M3 and a line on stderr; nothing in the prefix changes."""
    failures = []
    kinds = ["relative"] + (["foreign"] if as_user is not None else [])
    for kind in kinds:
        r = Run(binary, as_user, scenario(kind, NOT_INSTALLED, {}))
        try:
            prefix = os.path.join(r.patch, "prefix")
            make_prefix(prefix, "C:\\Games\\Adventure")
            r.install(os.path.join(prefix, "drive_c", "Games", "Adventure"))
            r.env["WINEPREFIX"] = "prefix" if kind == "relative" else prefix
            cmd = r.cmd()  # hands everything to the installer's user...
            if kind == "foreign":
                for root, dirs, files in os.walk(prefix):  # ...but the prefix stays root's
                    for name in dirs + files + ["."]:
                        os.lchown(os.path.join(root, name), 0, 0)
            before = digest(prefix)
            proc = subprocess.run(cmd, cwd=r.patch, env=r.env, input=b"ok\nok\n",
                                  capture_output=True, timeout=30)
            out, err = proc.stdout.decode(), proc.stderr.decode()
            reason = "not an absolute path" if kind == "relative" else "not owned by you"
            if proc.returncode != 1 or "== 警告 ==" not in out or reason not in err:
                failures.append(f"{kind}: status {proc.returncode}, stdout {out!r}, stderr {err!r}")
            if digest(prefix) != before:
                failures.append(f"{kind}: the prefix changed")
        finally:
            r.close()
    return failures


def read_until(fd, pattern, seen, start, timeout=20):
    """Reads the pseudo-terminal into seen[0] until pattern shows after start."""
    end = time.time() + timeout
    while not re.search(pattern, seen[0][start:]) and time.time() < end:
        ready, _, _ = select.select([fd], [], [], 0.2)
        if ready:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                break
            if not chunk:
                break
            seen[0] += chunk.decode("utf-8", "replace")
    return re.search(pattern, seen[0][start:]) is not None


def case_progress_line(binary, as_user):
    """On a terminal, once the copying has lasted over a second (the player
    waits at the first overwrite question), the progress line shows, and it
    is cleared before the next box; with standard error not a terminal,
    nothing is written there."""
    failures = []
    many = {f"data/f{i:03}.dat": (f"file {i}", NEW) for i in range(200)}
    patch = {"data/a.dat": ("a 1.02", NEW), **many}
    for terminal in (True, False):
        sc = scenario("progress", [], update_list=SETTINGS + "data\\*.dat\n", patch=patch,
                      install={"data/a.dat": ("a edited", NEW)})
        r = Run(binary, as_user, sc)
        try:
            install = r.install(os.path.join(r.tmp, "installation"))
            registry = os.path.join(r.tmp, "registry.reg")
            write_registry(registry, "hkcu", install)
            r.env["VXUPDATE_REGISTRY"] = registry
            r.env["TERM"] = "xterm"
            cmd = r.cmd()
            master, slave = pty.openpty()
            err_r, err_w = os.pipe()
            proc = subprocess.Popen(cmd, cwd=r.patch, env=r.env, stdin=slave, stdout=slave,
                                    stderr=slave if terminal else err_w, start_new_session=True)
            os.close(slave)
            os.close(err_w)
            seen = ["", 0]
            for prompt, answer, wait in ((r"\[OK/Cancel\]", "ok", 0), (r"\[Yes/No\]", "yes", 0),
                                         (r"上書きしますか？\s*\[OK/Cancel\]", "ok", 1.5),
                                         (r"== 完了 ==[^\[]*\[OK\]", "ok", 0)):
                if not read_until(master, prompt, seen, seen[1]):
                    failures.append(f"terminal={terminal}: no {prompt}; seen {seen[0][-400:]!r}")
                    break
                time.sleep(wait)  # the player takes a while: the run lasts over a second
                os.write(master, (answer + "\n").encode())
                seen[1:] = [len(seen[0])]
            try:
                proc.wait(timeout=30)
            finally:
                proc.kill()
            read_until(master, r"(?!)", seen, 0, timeout=0.5)
            os.close(master)
            err = os.read(err_r, 65536).decode("utf-8", "replace")
            os.close(err_r)
            text = seen[0]
            line = re.search(r"\r(\d+)/201 files, [^\r]*?f\d{3}\.dat\x1b\[K", text)
            if terminal:
                if line is None:
                    failures.append(f"no progress line on the terminal: {text[-600:]!r}")
                else:
                    # Cleared before the final box, and never inside a box.
                    done_box = text.index("== 完了 ==")
                    if text.rfind("\r\x1b[K", 0, done_box) < text.rfind("files, ", 0, done_box):
                        failures.append(f"progress line not cleared before a box: {text[-600:]!r}")
                    for box in re.findall(r"== [^\n]* ==\n[^\[]*\[[A-Za-z/]+\]", text):
                        if "files, " in box:
                            failures.append(f"progress inside a box: {box!r}")
            else:
                if err or line is not None:
                    failures.append(f"output without a terminal: stderr {err!r}")
            if proc.returncode != 0:
                failures.append(f"terminal={terminal}: exit status {proc.returncode}")
        finally:
            r.close()
    return failures


CASES = [case_arguments, case_drive_path_in_registry_file, case_default_prefix,
         case_dots_after_drive, case_prefixes_wine_refuses, case_progress_line]


def main():
    binary = os.path.abspath(sys.argv[1])
    wanted = set(sys.argv[2:])
    as_user = pwd.getpwnam("nobody") if os.geteuid() == 0 else None
    failed = 0
    for case in CASES:
        name = case.__name__[len("case_"):]
        if wanted and name not in wanted:
            continue
        failures = case(binary, as_user)
        print(f"{'FAIL' if failures else 'ok  '} {name}")
        for f in failures:
            print("    " + f.replace("\n", "\n    "))
        failed += bool(failures)
    if as_user is None:
        print("note: not root, so the foreign-owned WINEPREFIX was not tried")
    print(f"{failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

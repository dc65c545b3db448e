#!/usr/bin/env python3
"""Runs the end-to-end scenarios against the Windows installer under Wine.

The real Update.exe shows its real message boxes on a private Xvfb display;
the box driver (tools/boxdriver) starts it in the scenario's patch folder,
reads every box (caption, text, buttons, icon), answers it from the
scenario and writes a transcript, which is compared with the scenario, as
are the installation's files afterwards. The install directory goes into
the registry with `wine reg add`; the running game is played by a second
Wine process that holds the game's mutex (or, for the case where the
running check can't be made, an event of the same name).

Each scenario runs in a copy of one booted Wine prefix (hard links for the
Windows folder, real copies for the registry files) with the Japanese
locale, so that the ANSI code page is 932. When run as root, Wine runs as
the unprivileged user `nobody`: Wine run as root reads files without read
permission and overwrites read-only files, which Windows refuses.
Every process started here is ended before the next scenario
(`wineserver -k` for the scenario's prefix, then a check that nothing with
that prefix is left), and the display at the end. The patch folder and the
installation sit on a drive D: of the scenario's own.

usage: run_wine.py [--work DIR] [--shots DIR] UPDATE_EXE BOXDRIVER_EXE [SCENARIO...]
  --work   keeps the booted prefix and the generated locale there between
           runs (default: a temporary folder, removed at the end)
  --shots  saves a PNG of the first box of each message (m01.png ... m13.png)
VX_WINEDEBUG, when set, becomes Wine's WINEDEBUG (default: -all).
"""
import argparse
import ctypes
import fcntl
import hashlib
import json
import os
import pwd
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from messages import ERROR, INFORMATION, QUESTION, YESNO  # noqa: E402
from run_linux import check_files, lay_out_scenario  # noqa: E402
from scenarios import SCENARIOS  # noqa: E402

# What each style looks like on the screen: buttons from left to right, icon.
LOOKS = {ERROR: (["OK"], "stop"), QUESTION: (["OK", "Cancel"], "question"),
         YESNO: (["Yes", "No"], "question"), INFORMATION: (["OK"], "information")}
MUTEX_NAME = "VxTestGame"
KEY = "Software\\Hoshiumi\\Adventure"
ROOTS = {"hkcu": "HKCU", "hku": "HKU\\.DEFAULT"}
BOX_SECONDS = 60  # the whole run of one scenario, inside the driver

# Japanese UI font names, mapped to the IPA Gothic fonts so that the boxes
# show Japanese glyphs. There is no window manager: Wine draws the title bars
# itself and does not wait for a manager to take a closed box off the screen.
# A change here boots the prefix anew.
FONT_SUBSTITUTES = {
    "MS UI Gothic": "IPAPGothic", "MS PGothic": "IPAPGothic", "ＭＳ Ｐゴシック": "IPAPGothic",
    "MS Gothic": "IPAGothic", "ＭＳ ゴシック": "IPAGothic",
    "MS Shell Dlg": "IPAPGothic", "MS Shell Dlg 2": "IPAPGothic",
}
FONT_LINKED = ["Tahoma", "MS Shell Dlg", "MS Shell Dlg 2", "Microsoft Sans Serif",
               "MS UI Gothic"]


def prefix_settings():
    def multi(items):
        data = ("\0".join(items) + "\0\0").encode("utf-16-le")
        return "hex(7):" + ",".join(f"{b:02x}" for b in data)
    nt = "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion"
    lines = ["Windows Registry Editor Version 5.00", "", f"[{nt}\\FontSubstitutes]"]
    lines += [f'"{k}"="{v}"' for k, v in FONT_SUBSTITUTES.items()]
    lines += ["", f"[{nt}\\FontLink\\SystemLink]"]
    lines += [f'"{face}"=' + multi(["ipagp.ttf,IPAPGothic", "ipag.ttf,IPAGothic"])
              for face in FONT_LINKED]
    lines += ["", "[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]", '"Decorated"="N"',
              '"Managed"="N"']
    # No sound driver: the boxes' beeps would wait for an audio device.
    lines += ["", "[HKEY_CURRENT_USER\\Software\\Wine\\Drivers]", '"Audio"=""', ""]
    return "\r\n".join(lines)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def can_enter(path, user):
    """Whether `user` may walk down to `path` (its folders' search bits)."""
    path = os.path.abspath(path)
    while True:
        st = os.stat(path)
        if st.st_uid == user.pw_uid:
            ok = st.st_mode & 0o100
        elif st.st_gid == user.pw_gid:
            ok = st.st_mode & 0o010
        else:
            ok = st.st_mode & 0o001
        if not ok:
            return False
        if path == "/":
            return True
        path = os.path.dirname(path)


def chown_tree(top, user):
    for root, dirs, files in os.walk(top):
        for name in dirs + files + ["."]:
            os.lchown(os.path.join(root, name), user.pw_uid, user.pw_gid)


class Wine:
    """The Wine side of a run: the user Wine runs as, the display, the locale
    and the booted prefix that every scenario starts from."""

    def __init__(self, work, update_exe, driver_exe):
        self.user = pwd.getpwnam("nobody") if os.geteuid() == 0 else pwd.getpwuid(os.geteuid())
        if work is not None:
            os.makedirs(work, exist_ok=True)
        self.as_other = self.user.pw_uid != os.geteuid()
        self.own_work = work is None or (self.as_other and not can_enter(work, self.user))
        self.work = tempfile.mkdtemp(prefix="vx-wine-") if self.own_work else os.path.abspath(work)
        os.makedirs(self.work, exist_ok=True)
        self.update_exe = update_exe
        self.driver_exe = driver_exe
        self.xvfb = None
        self.display = None
        self.locpath = None
        self.children = []  # started here, and collected by their Popen objects

    # -- set-up ------------------------------------------------------------

    def start(self):
        # One run at a time in a work folder: they share the booted prefix.
        self.lock = open(os.path.join(self.work, "run.lock"), "w")
        fcntl.flock(self.lock, fcntl.LOCK_EX)
        self.home = os.path.join(self.work, "home")
        os.makedirs(self.home, exist_ok=True)
        if self.as_other:
            os.chown(self.work, self.user.pw_uid, self.user.pw_gid)
            os.chown(self.home, self.user.pw_uid, self.user.pw_gid)
        self.make_locale()
        self.start_display()
        self.make_template()

    def make_locale(self):
        have = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.split()
        if any(name.lower() in ("ja_jp.utf8", "ja_jp.utf-8") for name in have):
            return
        self.locpath = os.path.join(self.work, "locale")
        if not os.path.isdir(os.path.join(self.locpath, "ja_JP.UTF-8")):
            os.makedirs(self.locpath, exist_ok=True)
            subprocess.run(["localedef", "-i", "ja_JP", "-f", "UTF-8",
                            os.path.join(self.locpath, "ja_JP.UTF-8")],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def start_display(self):
        if shutil.which("Xvfb") is None:
            raise RuntimeError("Xvfb is not installed (Debian package xvfb)")
        read, write = os.pipe()
        with open(os.path.join(self.work, "xvfb.log"), "wb") as log:
            self.xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten",
                 "tcp", "-ac", "-noreset"], pass_fds=[write], stdout=subprocess.DEVNULL,
                stderr=log, start_new_session=True)
        os.close(write)
        # Xvfb writes the number and then a line feed; closing the pipe before
        # the line feed has come would end the server.
        number = b""
        deadline = time.time() + 20
        while not number.endswith(b"\n") and time.time() < deadline:
            ready, _, _ = select.select([read], [], [], 1)
            if ready:
                chunk = os.read(read, 16)
                if not chunk:
                    break
                number += chunk
        os.close(read)
        number = number.decode().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number

    def env(self, prefix):
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.home,
               "USER": self.user.pw_name, "LOGNAME": self.user.pw_name, "WINEPREFIX": prefix,
               "WINEDEBUG": os.environ.get("VX_WINEDEBUG", "-all"),
               "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
               "LANG": "ja_JP.UTF-8", "LC_ALL": "ja_JP.UTF-8", "DISPLAY": self.display}
        if self.locpath:
            env["LOCPATH"] = self.locpath
        return env

    def popen(self, args, prefix, **kwargs):
        if self.as_other:
            kwargs.update(user=self.user.pw_uid, group=self.user.pw_gid, extra_groups=[])
        proc = subprocess.Popen(args, env=self.env(prefix), start_new_session=True, **kwargs)
        self.children.append(proc)
        return proc

    def call(self, args, prefix, timeout=120, **kwargs):
        """Runs a command to its end; its output goes through a file, since
        Wine's own service processes inherit a pipe and keep it open."""
        with tempfile.TemporaryFile() as out:
            proc = self.popen(args, prefix, stdout=out, stderr=subprocess.STDOUT, **kwargs)
            try:
                proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
                raise
            out.seek(0)
            return proc.returncode, out.read().decode("utf-8", "replace")

    def make_template(self):
        """Boots the prefix once; a later run reuses it while Wine and the
        prefix settings stay the same."""
        settings = prefix_settings()
        version = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout
        stamp = hashlib.sha256((version + settings + self.user.pw_name).encode()).hexdigest()
        self.template = os.path.join(self.work, "prefix")
        marker = os.path.join(self.work, "prefix.ready")
        if (os.path.isdir(self.template) and os.path.isfile(marker)
                and open(marker).read() == stamp):
            return
        shutil.rmtree(self.template, ignore_errors=True)
        reg = os.path.join(self.work, "prefix-settings.reg")
        with open(reg, "w", encoding="utf-16") as f:
            f.write(settings)
        try:
            self.call(["wineboot", "-i"], self.template, timeout=300)
            code, out = self.call(["wine", "regedit", "/S", windows_path(reg)], self.template)
            if code != 0:
                raise RuntimeError("regedit failed: " + out)
        finally:
            self.stop_prefix(self.template)
        with open(marker, "w") as f:
            f.write(stamp)

    # -- one prefix per scenario -------------------------------------------

    def copy_template(self, prefix):
        """Windows folder as hard links (Wine never changes those files),
        registry and settings files as real copies."""
        code, out = self.call(["cp", "-al", self.template, prefix], self.template)
        if code != 0:
            raise RuntimeError("can't copy the prefix: " + out)
        for root, _, files in os.walk(prefix):
            for name in files:
                if name.endswith((".reg", ".ini")):
                    path = os.path.join(root, name)
                    data = open(path, "rb").read()
                    os.unlink(path)
                    with open(path, "wb") as f:
                        f.write(data)

    def stop_prefix(self, prefix):
        """Ends every process of the prefix; returns those that had to be
        killed by hand afterwards (there should be none)."""
        try:
            self.call(["wineserver", "-k"], prefix, timeout=60)
        except subprocess.TimeoutExpired:
            pass
        deadline = time.time() + 10
        left = self.processes_of(prefix)
        while left and time.time() < deadline:
            time.sleep(0.2)
            left = self.processes_of(prefix)
        for pid in left:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.reap()
        return left

    def reap(self):
        """Collects the ended Wine processes that were handed to this
        process (it is their subreaper), so that none lingers as a zombie."""
        self.children = [p for p in self.children if p.poll() is None]
        ours = {p.pid for p in self.children} | ({self.xvfb.pid} if self.xvfb else set())
        for name in os.listdir("/proc"):
            if not name.isdigit() or int(name) in ours:
                continue
            try:
                with open(f"/proc/{name}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if fields[0] == "Z" and int(fields[1]) == os.getpid():
                try:
                    os.waitpid(int(name), 0)
                except ChildProcessError:
                    pass

    @staticmethod
    def processes_of(prefix):
        mark = b"\0WINEPREFIX=" + prefix.encode() + b"\0"
        found = []
        for name in os.listdir("/proc"):
            if not name.isdigit():
                continue
            try:
                with open(f"/proc/{name}/environ", "rb") as f:
                    if mark in b"\0" + f.read():
                        found.append(int(name))
            except OSError:
                pass
        return found

    def finish(self):
        if self.xvfb is not None:
            os.killpg(self.xvfb.pid, signal.SIGTERM)
            try:
                self.xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self.xvfb.pid, signal.SIGKILL)
                self.xvfb.wait()
        if hasattr(self, "lock"):
            self.lock.close()
        if self.own_work:
            shutil.rmtree(self.work, ignore_errors=True)


def first_line(path, proc, seconds):
    """The first line that `proc` writes to the file at path."""
    deadline = time.time() + seconds
    while time.time() < deadline:
        with open(path, "rb") as f:
            data = f.read()
        if b"\n" in data or proc.poll() is not None:
            return data.decode("utf-8", "replace").split("\n")[0].strip()
        time.sleep(0.1)
    return ""


def run(wine, sc, shots):
    failures = []
    tmp = tempfile.mkdtemp(prefix=f"run-{sc['name']}-", dir=wine.work)
    prefix = os.path.join(tmp, "prefix")
    holder = None
    try:
        # The two folders sit on a drive D: of their own, as on a player's
        # machine, so that the boxes show D:\Downloads\Patch and D:\Games\Hoshiumi.
        drive = os.path.join(tmp, "drive")
        patch = os.path.join(drive, "Downloads", "Patch")
        install = os.path.join(drive, "Games", "Hoshiumi")
        bindir = os.path.join(tmp, "bin")
        boxes_dir = os.path.join(tmp, "boxes")
        for d in (patch, install, bindir, boxes_dir):
            os.makedirs(d)
        lay_out_scenario(sc, patch, install)
        update = os.path.join(bindir, "Update.exe")
        driver_exe = os.path.join(bindir, "boxdriver.exe")
        shutil.copy(wine.update_exe, update)
        shutil.copy(wine.driver_exe, driver_exe)
        if wine.as_other:
            chown_tree(tmp, wine.user)
        for rel, mode in sc["patch_modes"].items():
            os.chmod(os.path.join(patch, rel), mode)
        for rel, mode in sc["install_modes"].items():
            os.chmod(os.path.join(install, rel), mode)
        wine.copy_template(prefix)
        os.symlink(drive, os.path.join(prefix, "dosdevices", "d:"))
        on_d = {p: "D:\\" + os.path.relpath(p, drive).replace("/", "\\") for p in (patch, install)}

        code, out = wine.call(["wine", driver_exe, "acp"], prefix)
        acp = [line for line in out.splitlines() if line.strip().isdigit()]
        if acp != ["932"]:
            raise RuntimeError(f"the ANSI code page under Wine is {acp}, not 932 "
                               "(is the ja_JP.UTF-8 locale missing?)")
        if sc["registry"]:
            key = ROOTS[sc["registry"]] + "\\" + KEY
            value = on_d[install] if sc["registry_value"] is None else sc["registry_value"]
            code, out = wine.call(["wine", "reg", "add", key, "/v", "InstallDir", "/t", "REG_SZ",
                                   "/d", value, "/f"], prefix)
            if code != 0:
                raise RuntimeError("reg add failed: " + out)
        if sc["mutex"]:
            kind = "mutex" if sc["mutex"] == "held" else "event"
            said_path = os.path.join(tmp, "holder.out")
            with open(said_path, "wb") as said_file:
                holder = wine.popen(["wine", driver_exe, "hold", kind, MUTEX_NAME], prefix,
                                    stdin=subprocess.PIPE, stdout=said_file,
                                    stderr=subprocess.DEVNULL)
            said = first_line(said_path, holder, 60)
            if said != "held":
                raise RuntimeError(f"the game's {kind} could not be held: {said!r}")

        transcript = os.path.join(tmp, "transcript.jsonl")
        answers = ",".join(answer for _, answer in sc["boxes"]) or "-"
        try:
            code, out = wine.call(["wine", driver_exe, "play", windows_path(transcript), answers,
                                   str(BOX_SECONDS), windows_path(boxes_dir) if shots else "-",
                                   windows_path(update)], prefix, timeout=BOX_SECONDS + 60,
                                  cwd=patch)
            if code != 0:
                failures.append(f"box driver exit code {code}: {out.strip()}")
        except subprocess.TimeoutExpired:
            failures.append("the box driver did not end")
        if holder is not None:
            holder.stdin.close()
            holder.wait(timeout=30)

        lines = []
        if os.path.exists(transcript):
            with open(transcript, encoding="utf-8") as f:
                lines = [json.loads(line) for line in f if line.strip()]
        failures += compare(sc, lines, on_d[patch], on_d[install])
        failures += check_files(sc, install)
        if failures:
            failures.append("transcript:\n" + "\n".join(json.dumps(x, ensure_ascii=False)
                                                        for x in lines))
        elif shots:
            save_shots(sc, lines, boxes_dir, shots)
    except (RuntimeError, subprocess.TimeoutExpired) as e:
        failures.append(str(e))
    finally:
        left = wine.stop_prefix(prefix)
        if left:
            failures.append(f"processes left behind after wineserver -k: {left}")
        if holder is not None and holder.poll() is None:
            holder.kill()
            holder.wait()
        shutil.rmtree(tmp, ignore_errors=True)
    return failures


def compare(sc, lines, patch, install):
    """Checks the transcript; patch and install are the folders' Windows paths."""
    failures = []
    boxes = [x for x in lines if "caption" in x]
    ends = [{k: v for k, v in x.items() if k != "ms"} for x in lines if "caption" not in x]
    if ends != [{"exit": 0}]:
        failures.append(f"the installer's end: {ends}, expected exit code 0")
    for i in range(max(len(boxes), len(sc["boxes"]))):
        got = boxes[i] if i < len(boxes) else None
        if i >= len(sc["boxes"]):
            failures.append(f"box {i + 1}: unexpected {got['caption']!r} {got['text']!r}")
            continue
        (mid, text, caption, style), answer = sc["boxes"][i]
        if got is None:
            failures.append(f"box {i + 1}: {mid} missing")
            continue
        text = text.replace("{PATCH}", patch).replace("{INSTALL}", install)
        buttons, icon = LOOKS[style]
        want = {"caption": caption, "text": text, "buttons": buttons, "icon": icon,
                "owned": False}
        for field, value in want.items():
            if got.get(field) != value:
                failures.append(f"box {i + 1} ({mid}): {field} {got.get(field)!r}, "
                                f"expected {value!r}")
        if got.get("pressed", "").lower() != answer:
            failures.append(f"box {i + 1} ({mid}): pressed {got.get('pressed')!r}, not {answer}")
    return failures


def save_shots(sc, lines, boxes_dir, shots):
    """The first picture of each message, as shots/mNN.png."""
    boxes = [x for x in lines if "caption" in x]
    for i, ((mid, _, _, _), _) in enumerate(sc["boxes"][:len(boxes)]):
        png = os.path.join(shots, f"m{int(mid[1:]):02d}.png")
        bmp = os.path.join(boxes_dir, f"box-{i + 1}.bmp")
        if os.path.exists(png) or not os.path.exists(bmp):
            continue
        subprocess.run(["convert", bmp, "-strip", png], check=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--work")
    parser.add_argument("--shots")
    parser.add_argument("update_exe")
    parser.add_argument("driver_exe")
    parser.add_argument("scenarios", nargs="*")
    args = parser.parse_args()
    shots = os.path.abspath(args.shots) if args.shots else None
    if shots:
        os.makedirs(shots, exist_ok=True)
        for name in os.listdir(shots) if not args.scenarios else []:
            if name.startswith("m") and name.endswith(".png"):
                os.unlink(os.path.join(shots, name))

    started = time.time()
    # Wine's daemons outlive the process that started them; as their
    # subreaper this process collects them once wineserver -k has ended them.
    ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
    # Ended from outside (a test time-out): clean up all the same.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("ended by SIGTERM"))
    wine = Wine(args.work, os.path.abspath(args.update_exe), os.path.abspath(args.driver_exe))
    passed = failed = 0
    try:
        wine.start()
        print(f"prefix ready in {time.time() - started:.0f} s", flush=True)
        for sc in SCENARIOS:
            if args.scenarios and sc["name"] not in args.scenarios:
                continue
            if sc["linux_only"]:
                print(f"skip {sc['name']} (the Linux build's own behaviour)")
                continue
            began = time.time()
            failures = run(wine, sc, shots)
            took = f"({time.time() - began:.1f} s)"
            if failures:
                failed += 1
                print(f"FAIL {sc['name']} {took}")
                for f in failures:
                    print("    " + f.replace("\n", "\n    "))
            else:
                passed += 1
                print(f"ok   {sc['name']} {took}", flush=True)
    except RuntimeError as e:
        print(f"FAIL set-up: {e}")
        failed += 1
    finally:
        wine.finish()
    print(f"{passed} passed, {failed} failed in {time.time() - started:.0f} s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""The Linux installer's progress line, on a pseudo-terminal: the player
waits at the first overwrite question, so the copying has lasted over a
second when the other files go; the line must show then, never inside a box,
and be cleared before the final box. With standard error a pipe instead,
nothing may be written there.

usage: run_linux_terminal.py UPDATE_BINARY
"""
import os
import pty
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run_linux import lay_out_scenario, write_registry  # noqa: E402
from scenarios import NEW, SETTINGS, scenario  # noqa: E402

ANSWERS = [(r"\[OK/Cancel\]", "ok", 0), (r"\[Yes/No\]", "yes", 0),
           (r"上書きしますか？\s*\[OK/Cancel\]", "ok", 1.5), (r"== 完了 ==[^\[]*\[OK\]", "ok", 0)]


def converse(cmd, cwd, env, stderr_is_terminal):
    """Answers the boxes on a pseudo-terminal; returns what it showed, what
    went to a piped standard error, and the exit status."""
    master, slave = pty.openpty()
    err_r, err_w = os.pipe()
    proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdin=slave, stdout=slave,
                            stderr=slave if stderr_is_terminal else err_w)
    os.close(slave)
    os.close(err_w)
    seen, start = "", 0
    try:
        for prompt, answer, wait in ANSWERS:
            end = time.time() + 20
            while not re.search(prompt, seen[start:]) and time.time() < end:
                if select.select([master], [], [], 0.2)[0]:
                    seen += os.read(master, 65536).decode("utf-8", "replace")
            time.sleep(wait)  # the player takes a while
            os.write(master, (answer + "\n").encode())
            start = len(seen)
        proc.wait(timeout=30)
        while select.select([master], [], [], 0.3)[0]:
            seen += os.read(master, 65536).decode("utf-8", "replace")
    except OSError:
        pass  # the terminal closed with the installer
    finally:
        proc.kill()
        os.close(master)
    err = os.read(err_r, 65536).decode("utf-8", "replace")
    os.close(err_r)
    return seen, err, proc.wait()


def main():
    binary = os.path.abspath(sys.argv[1])
    tmp = tempfile.mkdtemp(prefix="vx-e2e-terminal-")
    failures = []
    try:
        patch, install = os.path.join(tmp, "patch"), os.path.join(tmp, "installation")
        files = {f"data/f{i:03}.dat": (f"file {i}", NEW) for i in range(200)}
        sc = scenario("progress", [], update_list=SETTINGS + "data\\*.dat\n",
                      patch={"data/a.dat": ("a 1.02", NEW), **files},
                      install={"data/a.dat": ("as new", NEW)})
        lay_out_scenario(sc, patch, install)
        write_registry(os.path.join(tmp, "registry.reg"), "hkcu", install)
        env = {"PATH": "/usr/bin:/bin", "HOME": tmp, "XDG_RUNTIME_DIR": tmp, "TERM": "xterm",
               "VXUPDATE_REGISTRY": os.path.join(tmp, "registry.reg")}
        text, _, status = converse([binary], patch, env, True)
        line = re.search(r"\r\d+/201 files, [\d.]+ [KMG]?i?B, data\\f\d{3}\.dat\x1b\[K", text)
        boxes = re.findall(r"== [^\n]* ==\n[^\[]*\[[A-Za-z/]+\]", text)
        final = text.find("== 完了 ==")
        if line is None or status != 0:
            failures.append(f"no progress line (status {status}): {text[-800:]!r}")
        elif text.rfind("\r\x1b[K", 0, final) < text.rfind(" files, ", 0, final):
            failures.append(f"the line was not cleared before the final box: {text[-800:]!r}")
        failures += [f"progress inside a box: {b!r}" for b in boxes if " files, " in b]

        shutil.rmtree(install)
        lay_out_scenario({**sc, "patch": {}, "list": None}, patch, install)
        text, err, status = converse([binary], patch, env, False)
        if err or " files, " in text or status != 0:
            failures.append(f"without a terminal: status {status}, stderr {err!r}")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    for f in failures:
        print("FAIL " + f)
    print("ok   progress line" if not failures else f"{len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

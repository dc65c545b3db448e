#!/usr/bin/env python3
"""Runs every end-to-end scenario against the built Linux installer.

Each scenario gets its own temporary patch folder, installation, registry
file and lock-file folder; the answers go to the installer's standard input
and the boxes are read back from its standard output. When run as root, the
installer runs as the unprivileged user `nobody`, as a player would, so that
files without read permission really can't be read.

usage: run_linux.py UPDATE_BINARY [SCENARIO...]
"""
import fcntl
import hashlib
import os
import pwd
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from messages import ERROR, INFORMATION, QUESTION, YESNO  # noqa: E402
from scenarios import SCENARIOS  # noqa: E402

PROMPTS = {ERROR: "[OK]", INFORMATION: "[OK]", QUESTION: "[OK/Cancel]", YESNO: "[Yes/No]"}
PROMPT_RE = re.compile(r"(\[OK\]|\[OK/Cancel\]|\[Yes/No\])")


def stamp(text):
    return time.mktime(time.strptime(text, "%Y-%m-%d %H:%M"))


def lay_out(folder, files, modes):
    for rel, (content, when) in files.items():
        path = os.path.join(folder, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content if isinstance(content, bytes) else content.encode())
        os.utime(path, (stamp(when), stamp(when)))
    for rel, mode in modes.items():
        os.chmod(os.path.join(folder, rel), mode)


def lay_out_scenario(sc, patch, install):
    """The scenario's patch folder (with its update.lst in code page 932) and
    installation."""
    lay_out(patch, sc["patch"], {})
    lay_out(install, sc["install"], {})
    lay_out(install, sc["extra_install_files"], {})
    if sc["list"] is not None:
        with open(os.path.join(patch, sc["list_name"]), "wb") as f:
            f.write(sc["list"].encode("cp932"))
    for rel in sc["patch_fifos"]:
        os.makedirs(os.path.dirname(os.path.join(patch, rel)), exist_ok=True)
        os.mkfifo(os.path.join(patch, rel))


def write_registry(path, where, value):
    lines = ["Windows Registry Editor Version 5.00", ""]
    if where == "hkcu":
        lines.append("[HKEY_CURRENT_USER\\Software\\Hoshiumi\\Adventure]")
    elif where == "hku":
        lines.append("[HKEY_USERS\\.DEFAULT\\Software\\Hoshiumi\\Adventure]")
    if where:
        escaped = value.replace("\\", "\\\\").replace('"', '\\"')
        lines.append(f'"InstallDir"="{escaped}"')
    with open(path, "w", encoding="utf-8") as f:
        f.write("\r\n".join(lines) + "\r\n")


USER_REG = ("WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000"
            "\n\n[Software\\\\Hoshiumi\\\\Adventure] 1796657451\n\"InstallDir\"=\"{value}\"\n")


def digest(top, skip):
    """Every entry below top but those below skip, with its contents' digest."""
    seen = {}
    for root, dirs, files in os.walk(top):
        for path in (os.path.join(root, n) for n in dirs + files):
            if not path.startswith(skip):
                with open(path, "rb") if os.path.isfile(path) else open(os.devnull, "rb") as f:
                    seen[path] = (os.path.islink(path), hashlib.sha256(f.read()).hexdigest())
    return seen


def check_files(sc, install):
    """What the installation must hold afterwards; None: the file is absent."""
    failures = []
    if sc["only_files"]:
        expected = set()
        for rel, content in sc["files"].items():
            while content is not None and rel:
                expected.add(rel)
                rel = os.path.dirname(rel)
        found = {os.path.relpath(os.path.join(root, name), install)
                 for root, dirs, files in os.walk(install) for name in dirs + files}
        if found != expected:
            failures.append(f"the installation holds {sorted(found)}, expected {sorted(expected)}")
    for rel, content in sc["files"].items():
        path = os.path.join(install, rel)
        if content is None:
            if os.path.exists(path):
                failures.append(f"{rel} should not exist")
        elif not os.path.isfile(path):
            failures.append(f"{rel} is missing")
        else:
            with open(path, "rb") as f:
                if f.read() != (content if isinstance(content, bytes) else content.encode()):
                    failures.append(f"{rel} does not hold {content[:40]!r}")
    # No temporary file of the copy survives, whether the copy failed or not.
    for root, _, names in os.walk(install):
        for name in names:
            if name.startswith((".~vx", "~vx")):
                failures.append(f"temporary file left: {os.path.join(root, name)}")
    return failures


def parse_boxes(out):
    """Splits the transcript into (caption, text, prompt) triples."""
    parts = PROMPT_RE.split(out)
    boxes = []
    for body, prompt in zip(parts[0::2], parts[1::2]):
        body = body.strip("\n")
        head, _, text = body.partition("\n")
        m = re.fullmatch(r"== (.*) ==", head)
        boxes.append((m.group(1) if m else "?" + head, text, prompt))
    return boxes, parts[-1]


def expected_status(sc):
    """The Linux program's exit status for the scenario's boxes: 0 when the
    final message (M6) shows and no file was passed over (every file not
    copied is followed by the stop question M13), 2 when one was, 1 when the
    run ends before M6."""
    if sc.get("status") is not None:
        return sc["status"]
    ids = [box[0] for box, _ in sc["boxes"]]
    if "M6" not in ids:
        return 1
    return 2 if "M13" in ids else 0


def play(cmd, patch, env, sc, install, stderr=None):
    """Runs the installer in the patch folder with the scenario's answers and
    compares its boxes with the scenario's ({INSTALL} standing for install).
    An answer None ends the input there. Returns the failures and the
    transcript (None when it did not end); appends what the installer wrote
    on standard error to the list stderr, when given."""
    answers = ""
    for _, answer in sc["boxes"]:
        if answer is None:
            break
        answers += answer + "\n"
    try:
        proc = subprocess.run(cmd, cwd=patch, env=env, input=answers.encode(),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30)
    except subprocess.TimeoutExpired as e:
        out = (e.stdout or b"").decode("utf-8", "replace")
        return [f"the installer did not end within 30 s; transcript:\n{out}"], None
    failures = []
    out = proc.stdout.decode("utf-8", "replace")
    err = proc.stderr.decode("utf-8", "replace")
    if stderr is not None:
        stderr.append(err)
    if sc.get("stderr") is not None and not re.fullmatch(sc["stderr"], err, re.S):
        failures.append(f"standard error {err!r} does not match {sc['stderr']!r}")
    if proc.returncode != expected_status(sc):
        failures.append(f"exit code {proc.returncode}, expected {expected_status(sc)}")
    boxes, rest = parse_boxes(out)
    if rest.strip():
        failures.append(f"output after the last box: {rest!r}")
    expected = [(mid, text.replace("{PATCH}", patch).replace("{INSTALL}", install),
                 caption, PROMPTS[style]) for (mid, text, caption, style), _ in sc["boxes"]]
    for i in range(max(len(boxes), len(expected))):
        got = boxes[i] if i < len(boxes) else None
        want = expected[i] if i < len(expected) else None
        if want is None:
            failures.append(f"box {i + 1}: unexpected {got}")
        elif got is None:
            failures.append(f"box {i + 1}: {want[0]} missing")
        elif got != want[2:3] + want[1:2] + want[3:4]:
            failures.append(f"box {i + 1}: expected {want[0]} {want[1:]!r}, got {got!r}")
    return failures, out + proc.stderr.decode("utf-8", "replace")


def run(binary, sc, as_user):
    failures = []
    tmp = tempfile.mkdtemp(prefix=f"vx-e2e-{sc['name']}-")
    try:
        patch = os.path.join(tmp, "patch")
        install = os.path.join(tmp, sc["install_folder"])
        rundir = os.path.join(tmp, "run")
        os.makedirs(patch)
        os.makedirs(install)
        os.makedirs(rundir)
        lay_out_scenario(sc, patch, install)
        registry = os.path.join(tmp, "registry.reg")
        value = install if sc["registry_value"] is None else sc["registry_value"]
        if sc["registry"] != "absent":
            write_registry(registry, sc["registry"], value)

        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "VXUPDATE_REGISTRY": registry,
               "XDG_RUNTIME_DIR": rundir, "HOME": tmp}
        if sc["registry"] == "absent":
            del env["VXUPDATE_REGISTRY"]
        wine = sc["wine"]
        if wine is not None:
            # A prefix laid out as Wine lays it out, recording the folder.
            prefix = os.path.join(tmp, wine["prefix"])
            os.makedirs(os.path.join(prefix, "dosdevices"), exist_ok=True)
            os.symlink("../drive_c", os.path.join(prefix, "dosdevices", "c:"))
            with open(os.path.join(prefix, "user.reg"), "w") as f:
                f.write(USER_REG.replace("{value}", wine["recorded"].replace("\\", "\\\\")))
            env.pop("VXUPDATE_REGISTRY", None)
            if wine.get("variable"):
                env["WINEPREFIX"] = wine["variable"].replace("{TMP}", tmp)
            prefix_before = digest(prefix, install)
        if sc["mutex"] == "unavailable":
            env["XDG_RUNTIME_DIR"] = os.path.join(tmp, "no-such-folder")
        lock = None
        if sc["mutex"] == "held":
            path = os.path.join(rundir, "VxTestGame.lock")
            lock = open(path, "w")
            os.chmod(path, 0o666)
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)

        cmd = [binary] + sc["args"]
        if as_user is not None:
            # The build folder may lie where the user can't reach (below
            # /root, say): the user runs a copy of its own.
            cmd = [os.path.join(tmp, "update")]
            shutil.copy2(binary, cmd[0])
            for root, dirs, files in os.walk(tmp):
                for name in dirs + files + ["."]:
                    os.lchown(os.path.join(root, name), as_user.pw_uid, as_user.pw_gid)
            cmd = ["setpriv", f"--reuid={as_user.pw_uid}", f"--regid={as_user.pw_gid}",
                   "--clear-groups", "--"] + cmd + sc["args"]
            if wine is not None and wine.get("foreign"):
                for root, dirs, files in os.walk(prefix):  # the prefix stays root's
                    for name in dirs + files + ["."]:
                        os.lchown(os.path.join(root, name), 0, 0)
        if sc["mutex"] == "fifo":
            os.mkfifo(os.path.join(rundir, "VxTestGame.lock"), 0o666)
        if sc["mutex"] == "link":
            target = os.path.join(tmp, "lock-target")
            open(target, "w").close()
            os.symlink(target, os.path.join(rundir, "VxTestGame.lock"))
        if sc["mutex"] == "foreign":
            # A lock file left by another user (root, when the installer runs
            # as nobody), which the installer's user may not write.
            path = os.path.join(rundir, "VxTestGame.lock")
            open(path, "w").close()
            os.chmod(path, 0o644 if as_user is not None else 0o444)
        # Modes last: the chown above would not undo them, but keep it plain.
        for rel, mode in sc["patch_modes"].items():
            os.chmod(os.path.join(patch, rel), mode)
        for rel, mode in sc["install_modes"].items():
            os.chmod(os.path.join(install, rel), mode)

        shown = wine["recorded"] if wine is not None else install
        failures, transcript = play(cmd, patch, env, sc, shown)
        if transcript is None:
            return failures
        if wine is not None and digest(prefix, install) != prefix_before:
            failures.append("a file of the prefix changed")
        if lock is not None:
            lock.close()
        failures += check_files(sc, install)
        if failures:
            failures.append("transcript:\n" + transcript)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return failures


def main():
    binary = os.path.abspath(sys.argv[1])
    wanted = set(sys.argv[2:])
    as_user = pwd.getpwnam("nobody") if os.geteuid() == 0 else None
    passed = failed = 0
    for sc in SCENARIOS:
        if wanted and sc["name"] not in wanted:
            continue
        if sc["wine"] is not None and sc["wine"].get("foreign") and as_user is None:
            print(f"skip {sc['name']}: another user's prefix can only be made as root")
            continue
        failures = run(binary, sc, as_user)
        if failures:
            failed += 1
            print(f"FAIL {sc['name']}")
            for f in failures:
                print("    " + f.replace("\n", "\n    "))
        else:
            passed += 1
            print(f"ok   {sc['name']}")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

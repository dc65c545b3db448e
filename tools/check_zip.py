#!/usr/bin/env python3
"""Checks the ZIP of the Windows programs as a publisher unpacks it: one top
folder holding the programs, each a 32-bit PE (Update.exe a GUI program that
passes every check of app/e2e/check_pe.py, the tools console programs), and
the publisher's guides of docs/ with their pictures, a read-me of this version,
and the licence and the change log as Windows text (LICENSE and CHANGELOG.md
with CR LF line ends).

usage: check_zip.py --version X.Y.Z ZIP PROGRAM...
"""
import argparse
import os
import sys
import tempfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "app", "e2e"))
import check_pe  # noqa: E402

GUI, CONSOLE = 2, 3


def main():
    parser = argparse.ArgumentParser(description="Checks the ZIP of the Windows programs.")
    parser.add_argument("--version", required=True)
    parser.add_argument("zip")
    parser.add_argument("programs", nargs="+", help="the programs it must hold, e.g. Update.exe")
    args = parser.parse_args()

    problems = []
    with zipfile.ZipFile(args.zip) as archive, tempfile.TemporaryDirectory() as work:
        names = [n for n in archive.namelist() if not n.endswith("/")]
        tops = {n.split("/", 1)[0] for n in archive.namelist()}
        top = f"vxupdate-{args.version}-win32"
        if tops != {top}:
            problems.append(f"top folders {sorted(tops)}, expected {top}")
        programs = sorted(n.split("/", 1)[-1] for n in names if n.lower().endswith(".exe"))
        if programs != sorted(args.programs):
            problems.append(f"programs {programs}, expected {sorted(args.programs)}")
        for program in args.programs:
            member = f"{top}/{program}"
            if member not in names:
                continue
            path = archive.extract(member, work)
            subsystem = GUI if program == "Update.exe" else CONSOLE
            found, _ = check_pe.check(path, args.version, subsystem)
            problems += [f"{program}: {p}" for p in found]
        docs = os.path.join(ROOT, "docs")
        guides = [f for f in os.listdir(docs) if f.endswith(".md")]
        guides += ["screenshots/" + f for f in os.listdir(os.path.join(docs, "screenshots"))]
        for guide in sorted(guides):
            member = f"{top}/docs/{guide}"
            if member not in names:
                problems.append(f"{member} is missing")
            elif archive.read(member) != open(os.path.join(docs, guide), "rb").read():
                problems.append(f"{member} differs from docs/{guide}")

        for member, source in (("LICENSE.txt", "LICENSE"), ("CHANGELOG.txt", "CHANGELOG.md")):
            expected = open(os.path.join(ROOT, source), "rb").read().replace(b"\n", b"\r\n")
            if f"{top}/{member}" not in names:
                problems.append(f"{member} is missing")
            elif archive.read(f"{top}/{member}") != expected:
                problems.append(f"{member} is not {source} with CR LF line ends")
        if f"{top}/README.txt" not in names:
            problems.append("README.txt is missing")
        else:
            readme = archive.read(f"{top}/README.txt")
            if not readme.startswith(f"vxupdate {args.version} ".encode()):
                problems.append(f"README.txt is not of version {args.version}")
            if b"\n" in readme.replace(b"\r\n", b""):
                problems.append("README.txt has lines that do not end in CR LF")

    print(f"{args.zip}: {len(names)} files, programs {', '.join(programs)}")
    return check_pe.report(problems)


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Runs the Linux installer and answers every box with its first button.

Used by run-example.sh when nobody sits at a terminal: the installer's own
output passes through unchanged, and each answer is echoed after its prompt.
"""
import os
import subprocess
import sys

FIRST_BUTTON = {b"[OK]": b"ok", b"[OK/Cancel]": b"ok", b"[Yes/No]": b"yes"}


def main() -> int:
    proc = subprocess.Popen(sys.argv[1:], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    line = b""
    out = sys.stdout.buffer
    while True:
        ch = proc.stdout.read(1)
        if not ch:
            break
        out.write(ch)
        line = b"" if ch == b"\n" else line + ch
        answer = FIRST_BUTTON.get(line)
        if answer is not None:
            out.write(b" " + answer + b"\n")
            proc.stdin.write(answer + b"\n")
            proc.stdin.flush()
            line = b""
        out.flush()
    proc.stdin.close()
    return proc.wait()


if __name__ == "__main__":
    sys.exit(main())

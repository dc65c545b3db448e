#!/usr/bin/env python3
"""Saves a picture of each of the installer's messages as players see it: the
real Update.exe under Wine with Japanese fonts, every scenario run as in the
end-to-end tests, the first box of each message kept as docs/screenshots/
m01.png ... m13.png. A scenario that fails its checks adds no picture.

usage: screenshots.py [--work DIR] UPDATE_EXE BOXDRIVER_EXE
  (Update.exe and boxdriver.exe of the `windows` preset's build)
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import run_wine  # noqa: E402

if __name__ == "__main__":
    shots = os.path.join(HERE, "..", "..", "docs", "screenshots")
    sys.argv[1:1] = ["--shots", os.path.normpath(shots)]
    code = run_wine.main()
    print("pictures:", " ".join(sorted(n for n in os.listdir(shots) if n.endswith(".png"))))
    sys.exit(code)

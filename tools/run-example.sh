#!/usr/bin/env bash
# Builds the Linux installer and applies the bundled example patch
# (examples/patch) to a copy of the sample installation (examples/installation)
# in a temporary folder, with a registry file that points at it.
# On a terminal you answer the boxes yourself; otherwise every box is answered
# with its first button.
# usage: run-example.sh [PROGRAM]   (PROGRAM: an installer to run instead of
# building one, such as the installed /usr/bin/update)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if [ $# -gt 0 ]; then
  update=$(realpath "$(command -v "$1")")
else
  bash tools/install-deps.sh
  cmake --preset default >/dev/null
  cmake --build --preset default -j "$(nproc)" --target update >/dev/null
  update=$root/build/default/app/update
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r examples/patch "$work/patch"
cp -r examples/installation "$work/installation"
# The patch's files are newer than the installed ones, except data/map02.dat,
# which the player changed later: the installer asks before replacing it.
find "$work/patch" -type f -exec touch -d '2026-06-01 12:00' {} +
find "$work/installation" -type f -exec touch -d '2025-01-01 12:00' {} +
touch -d '2026-09-01 12:00' "$work/installation/data/map02.dat"

cat > "$work/registry.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\Software\\Hoshiumi\\Adventure]
"InstallDir"="$work/installation"
REG
export VXUPDATE_REGISTRY=$work/registry.reg
export XDG_RUNTIME_DIR=$work

echo "patch folder:  $work/patch"
echo "installation:  $work/installation"
echo
cd "$work/patch"
# The installer's exit status says how the run ended (0: updated); the
# listing below is wanted whatever it was.
status=0
if [ -t 0 ]; then
  "$update" || status=$?
else
  python3 "$root/tools/answer-first.py" "$update" || status=$?
fi
echo
echo "exit status: $status"
echo "installation afterwards:"
(cd "$work/installation" && find . -type f | sort | while read -r f; do printf '  %-18s %s\n' "$f" "$(head -c 60 "$f")"; done)

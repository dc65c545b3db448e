#!/usr/bin/env bash
# Builds the two packages into build/packages/: the Debian package of the
# Linux programs, their manual pages, the guides and the Windows installer
# (vxupdate_<version>_amd64.deb), and the ZIP of the Windows programs with
# the guides, a read-me, the licence and the change log
# (vxupdate-<version>-win32.zip).
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh

jobs=${VX_JOBS:-$(nproc)}
# Windows first: the Debian package carries the Update.exe of that build.
for platform in windows:zip linux:deb; do
  preset=package-${platform%%:*}
  echo "== package: ${platform#*:} =="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" >/dev/null
  cpack --preset "${platform#*:}" >/dev/null
done
rm -rf build/packages/_CPack_Packages
ls -l build/packages/

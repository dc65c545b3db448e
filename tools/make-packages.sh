#!/usr/bin/env bash
# Builds the two packages into build/packages/: the Debian package of the
# Linux programs, their manual pages and the guides
# (vxupdate_<version>_amd64.deb), and the ZIP of the Windows programs with
# the guides (vxupdate-<version>-win32.zip).
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh

jobs=${VX_JOBS:-$(nproc)}
for platform in linux:deb windows:zip; do
  preset=package-${platform%%:*}
  echo "== package: ${platform#*:} =="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" >/dev/null
  cpack --preset "${platform#*:}" >/dev/null
done
rm -rf build/packages/_CPack_Packages
ls -l build/packages/

#!/usr/bin/env bash
# Runs a Windows test program under Wine the way the tests expect it:
# a private prefix (VX_WINEPREFIX, else <build dir>/wineprefix), the Japanese
# locale so that the ANSI code page is 932, and no Wine chatter.
set -euo pipefail

exe=$1
shift

if [ -z "${VX_WINEPREFIX:-}" ]; then
  dir=$(cd "$(dirname "$exe")" && pwd)
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ -f "$dir/CMakeCache.txt" ] || { echo "wine-run: no build directory above $exe" >&2; exit 2; }
  VX_WINEPREFIX=$dir/wineprefix
fi
export WINEPREFIX=$VX_WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8

# Without the locale Wine silently falls back to code page 1252; make it
# exist, in a folder of our own when the system lacks it.
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
  export LOCPATH=$(dirname "$WINEPREFIX")/locale
  if [ ! -d "$LOCPATH/ja_JP.UTF-8" ]; then
    mkdir -p "$LOCPATH"
    localedef -i ja_JP -f UTF-8 "$LOCPATH/ja_JP.UTF-8" >/dev/null 2>&1 || true
  fi
fi

# Create the prefix once; parallel test runs wait for the first one.
mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [ ! -f "$WINEPREFIX/.vx-ready" ]; then
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w || true
    touch "$WINEPREFIX/.vx-ready"
  fi
) 9>"$WINEPREFIX.lock"

exec wine "$exe" "$@"

#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine, as root.
# Packages already present are left alone, so a second run is quick.
set -euo pipefail

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi

for pkg in python3 cmake make g++ clang libclang-rt-14-dev googletest libgtest-dev libgmock-dev \
           libbenchmark-dev locales g++-mingw-w64-i686 mingw-w64 binutils-mingw-w64-i686 \
           wine wine32:i386 xvfb xauth fonts-ipafont-gothic imagemagick dpkg-dev groff-base lintian \
           libdivsufsort-dev xfsprogs; do
  have_pkg "$pkg" || need+=("$pkg")
done

if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages (${need[*]}); run this script as root" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi

# Wine shows the Windows program's code page 932 only under a Japanese locale.
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8' && [ "$(id -u)" -eq 0 ]; then
  localedef -i ja_JP -f UTF-8 ja_JP.UTF-8 || true
fi

#!/usr/bin/env bash
# The packages as a user gets them. Builds both (tools/make-packages.sh), then:
# has lintian check the Debian package (no error, no warning), installs it
# with dpkg (which refuses it when a dependency it declares is missing),
# checks its licence, change log and Windows installer, runs the installed
# `update` on the bundled example patch, asks every installed program its
# version, removes the package and checks that none of its files are left;
# and checks the ZIP of the Windows programs (tools/check_zip.py). It installs
# into the system, so it runs only as root, on a machine of its own (as CI
# does); otherwise it says so and ends.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "package test: skipped (installing a package needs root)"
  exit 0
fi
if dpkg-query -W -f='${Status}' vxupdate 2>/dev/null | grep -q ' installed$'; then
  echo "package test: vxupdate is installed on this machine; remove it first" >&2
  exit 1
fi

bash tools/make-packages.sh
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/package-linux/CMakeCache.txt)
deb=build/packages/vxupdate_${version}_$(dpkg --print-architecture).deb
zip=build/packages/vxupdate-${version}-win32.zip
programs=(update packtool)
windows_programs=(Update.exe packtool.exe)
if [ -f tools/patchtool/CMakeLists.txt ]; then
  programs+=(patchtool)
  windows_programs+=(patchtool.exe)
fi

work=$(mktemp -d)
installed=0
cleanup() {
  if [ "$installed" -eq 1 ]; then dpkg --purge vxupdate >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
checks=0
pass() { checks=$((checks + 1)); echo "-- $*"; }

depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libstdc++6; do
  tr ',' '\n' <<<"$depends" | awk '{print $1}' | grep -xF "$lib" >/dev/null ||
    fail "$deb does not declare $lib ($depends)"
done
# lintian: Debian's checks of the package, policy and hardening among them.
# Informational tags are shown; an error or a warning fails the test.
lintian_rc=0
lintian_out=$(lintian --fail-on error,warning --display-info "$deb" 2>&1) || lintian_rc=$?
lintian_out=$(grep -v '^running with root privileges' <<<"$lintian_out" || true)
[ -z "$lintian_out" ] || echo "$lintian_out"
if [ "$lintian_rc" -ne 0 ] || grep -q '^[EW]: ' <<<"$lintian_out"; then
  fail "lintian reports errors or warnings on $deb"
fi
pass "lintian: no error, no warning ($(grep -c '^I: ' <<<"$lintian_out" || true) informational tags)"

simulated=$(apt-get install --simulate "./$deb" 2>&1) || true
grep -q '^Inst vxupdate ' <<<"$simulated" || fail "apt-get would not install $deb: $simulated"
pass "declares $depends; apt-get would install it"

dpkg -i "$deb" >/dev/null
installed=1
dpkg -L vxupdate > "$work/listed"
while read -r path; do
  [ -d "$path" ] || echo "$path"
done < "$work/listed" > "$work/files"
pass "installed with dpkg: $(wc -l < "$work/files") files"

doc=/usr/share/doc/vxupdate
copyright=$(cat "$doc/copyright") || fail "no $doc/copyright"
head -n 1 <<<"$copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
  fail "$doc/copyright is not in the machine-readable format"
grep -qx 'License: Expat' <<<"$copyright" || fail "$doc/copyright does not give the MIT (Expat) licence"
# The licence's terms, as LICENSE has them, are all there.
[ "$(sed -n '/^Permission/,$p' LICENSE | tr -d ' .\n')" = \
  "$(sed -n '/^ Permission/,$p' <<<"$copyright" | tr -d ' .\n')" ] ||
  fail "$doc/copyright does not hold the terms of LICENSE"
changelog=$(zcat "$doc/changelog.gz") || fail "no $doc/changelog.gz"
head -n 1 <<<"$changelog" | grep -qF "vxupdate ($version) " || fail "changelog.gz does not start at $version"
pass "copyright (Expat) and changelog.gz ($version) in $doc"

windows_installer=/usr/share/vxupdate/Update.exe
python3 app/e2e/check_pe.py --version "$version" "$windows_installer" > "$work/check_pe.log" ||
  { cat "$work/check_pe.log"; fail "$windows_installer is not the Windows installer"; }
pass "$windows_installer is the Windows installer of $version"

for program in "${programs[@]}"; do
  [ "$(command -v "$program")" = "/usr/bin/$program" ] || fail "$program is not /usr/bin/$program"
  answer=$("$program" --version) || fail "$program --version failed"
  # One form for every program: its name and the version.
  [ "$answer" = "$program $version" ] || fail "$program --version says \"$answer\", not \"$program $version\""
  page=$(zcat "/usr/share/man/man1/$program.1.gz") || fail "no manual page of $program"
  grep -q "^\.TH .*\"vxupdate $version\"" <<<"$page" || fail "the manual page of $program is not $version"
  pass "$program --version: $answer; manual page installed"
done
for guide in docs/*.md; do
  cmp -s "$guide" "/usr/share/doc/vxupdate/$(basename "$guide")" || fail "guide $guide not installed"
done
pass "guides in /usr/share/doc/vxupdate"

bash tools/run-example.sh /usr/bin/update < /dev/null > "$work/example.log"
for line in '星海の冒険は無事更新されました' \
            './data/map01.dat   map 01, revised in 1.02' \
            './data/map02.dat   map 02, revised in 1.02' \
            './data/map03.dat   map 03, new in 1.02' \
            './doc/readme.txt   Hoshiumi Adventure 1.02: what changed' \
            './game.exe         Hoshiumi Adventure 1.02 executable'; do
  grep -qF "$line" "$work/example.log" || { cat "$work/example.log"; fail "example run lacks \"$line\""; }
done
pass "the installed update applied the example patch"

dpkg --purge vxupdate >/dev/null
installed=0
if dpkg-query -W -f='${Status}' vxupdate 2>/dev/null | grep -q ' installed$'; then
  fail "vxupdate is still installed"
fi
while read -r path; do
  if [ -e "$path" ] || [ -L "$path" ]; then fail "$path is left after removal"; fi
done < "$work/files"
while read -r path; do
  # A folder may stay only when another package owns it too.
  if [ -d "$path" ] && ! dpkg -S "$path" >/dev/null 2>&1; then fail "folder $path is left after removal"; fi
done < "$work/listed"
pass "removed: none of its files or folders left"

python3 tools/check_zip.py --version "$version" "$zip" "${windows_programs[@]}"
pass "ZIP holds ${windows_programs[*]}, the guides, the read-me, the licence and the change log"

echo "package test: passed ($checks checks)"

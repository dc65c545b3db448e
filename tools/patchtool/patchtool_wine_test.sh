#!/usr/bin/env bash
# patchtool.exe under Wine with the Japanese code page: make on two small
# builds (a double-byte folder name, a name that needs a ? pattern), then
# check and plan on the patch it made.
# usage: patchtool_wine_test.sh WINE_RUN PATCHTOOL_EXE
set -euo pipefail
run=$1
exe=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"

fail() { echo "FAIL: $*" >&2; exit 1; }
tool() { "$run" "$exe" "$@" | iconv -f CP932 -t UTF-8 | tr -d "\r"; }

mkdir -p old/data new/data new/表
printf 'game 1.01' > old/game.exe
printf 'map' > old/data/map01.dat
printf 'game 1.02' > new/game.exe
printf 'map' > new/data/map01.dat
printf 'hyo' > new/表/a.dat
printf 'readme' > 'new/#readme.txt'
touch -d '2025-01-01 12:00' old/game.exe old/data/map01.dat
touch -d '2026-06-01 12:00' new/game.exe new/data/map01.dat

[[ "$(tool --version)" == "patchtool "[0-9]* ]] || fail "--version"
[[ "$(tool '/?')" == "usage: patchtool make "* ]] || fail "/?"
tool make old new out --title G --regbase 'Hoshiumi\Adventure' --reginstall InstallDir > make.txt ||
  fail "make: $(cat make.txt)"
[ "$(cat out/表/a.dat)" = hyo ] || fail "make: 表/a.dat"
[ -f 'out/#readme.txt' ] && [ -f out/game.exe ] && [ ! -e out/data ] || fail "make: files"
list=$(iconv -f CP932 -t UTF-8 out/update.lst | tr -d '\r')
for rule in '?readme.txt' 'game.exe' '表\a.dat'; do
  grep -qxF "$rule" <<< "$list" || fail "make: no rule $rule in: $list"
done
[ -z "$(tool check out)" ] || fail "check: $(tool check out)"
plan=$(tool plan out old)
grep -qF "new-folder	表\\a.dat	" <<< "$plan" || fail "plan: $plan"
grep -qxF "# 3 files, 1 new, 1 new-folder, 1 replace, 0 ask, 0 fail" <<< "$plan" || fail "plan: $plan"

# Names Windows can't hold, or holds as one, are refused before anything is
# written; --json is one object per line.
refused() {
  rm -rf bad out2 && mkdir -p bad && for name in "$@"; do printf x > "bad/$name"; done
  # JSON is UTF-8 whatever the code page.
  set +e; "$run" "$exe" make old bad out2 --title G --regbase K --reginstall V --json |
    tr -d '\r' > refused.txt; rc=${PIPESTATUS[0]}; set -e
  [ "$rc" -eq 1 ] && [ ! -e out2 ] || fail "make took $*: $(cat refused.txt)"
  python3 -c 'import json, sys
found = [json.loads(line) for line in open(sys.argv[1])]
assert any(o["type"] == "finding" and o["severity"] == "error" for o in found)' refused.txt ||
    fail "--json: $(cat refused.txt)"
}
refused con.txt
refused 'ａ.txt' 'Ａ.txt'
refused 'α.dat' 'Α.dat'
# The installer beside patchtool.exe goes into the patch; a Linux program is refused.
mkdir zip && cp "$exe" zip/ && printf 'MZ' > zip/Update.exe && head -c 58 /dev/zero >> zip/Update.exe &&
  printf '\x40\0\0\0PE\0\0' >> zip/Update.exe
"$run" zip/patchtool.exe make old new out3 --title G --regbase K --reginstall V > /dev/null 2> err.txt ||
  fail "make with the ZIP's installer: $(cat err.txt)"
cmp -s zip/Update.exe out3/Update.exe || fail "the installer beside patchtool.exe was not taken"
set +e; tool make old new out4 --title G --regbase K --reginstall V --installer /bin/true \
  > /dev/null 2>&1; rc=$?; set -e
[ "$rc" -eq 1 ] && [ ! -e out4 ] || fail "the Linux program was taken as the installer"
echo "patchtool under Wine: 1 passed, 0 failed"

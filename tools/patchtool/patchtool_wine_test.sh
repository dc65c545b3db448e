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
echo "patchtool under Wine: 1 passed, 0 failed"

#!/usr/bin/env bash
# packtool.exe under Wine: a round trip in every layout, then the files that
# are no well-formed pack (refused by list and verify with exit 2 and a
# reason) and a folder where a file is expected.
# usage: packtool_wine_test.sh WINE_RUN PACKTOOL_EXE
set -euo pipefail
run=$1
exe=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"

fail() { echo "FAIL: $*" >&2; exit 1; }
status() { set +e; "$run" "$exe" "$@" > out.txt 2> err.txt; echo $?; set -e; }

printf 'hello, pack\n' > hello.txt
for i in $(seq 1 500); do printf 'line %d\n' $((i % 7)); done > text.txt
for layout in plain extended hashed; do
  [ "$(status create $layout.pack --layout $layout --key C0FFEE hello.txt text.txt)" -eq 0 ] ||
    fail "create $layout: $(cat err.txt)"
  [ "$(status verify $layout.pack)" -eq 0 ] || fail "verify $layout: $(cat err.txt)"
  [ "$(status cat $layout.pack text.txt)" -eq 0 ] && cmp -s out.txt text.txt || fail "cat $layout"
done
printf 'root:x:0:0:root:/root:/bin/bash\n' > passwd.txt
head -c 16 plain.pack > cut16.pack
for bad in passwd.txt cut16.pack; do
  for command in list verify; do
    [ "$(status $command $bad)" -eq 2 ] && grep -q 'not a well-formed pack' err.txt ||
      fail "$command $bad: $(cat err.txt)"
  done
done
mkdir folder && cp hello.txt folder/
[ "$(status create folder.pack folder)" -eq 2 ] && grep -q 'a folder' err.txt ||
  fail "create of a folder: $(cat err.txt)"
[ ! -e folder.pack ] || fail "create of a folder left a pack"
echo "packtool under Wine: 1 passed, 0 failed"

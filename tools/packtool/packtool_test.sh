#!/usr/bin/env bash
# packtool round trip: create in every layout and coding, list, cat, verify,
# extract; then the exit statuses of a damaged pack, a missing entry and
# usage errors.
set -euo pipefail
tool=$(realpath "$1")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"

printf 'hello, pack\n' > hello.txt
head -c 300000 "$tool" > tool.bin
for i in $(seq 1 2000); do printf 'line %d of a text that repeats\n' $((i % 37)); done > text.txt
printf '\xe8\xa1\xa8 name' > 表.txt
: > empty.dat
files=(hello.txt tool.bin text.txt 表.txt empty.dat)

fail() { echo "FAIL: $*" >&2; exit 1; }

for layout in plain extended hashed; do
  for coding in stored zlc2 rle0 auto; do
    pack=$layout-$coding.pack
    "$tool" create "$pack" --layout "$layout" --coding "$coding" --key 0xC0FFEE "${files[@]}" ||
      fail "create $pack"
    [ "$("$tool" list "$pack" | wc -l)" -eq 5 ] || fail "list $pack"
    "$tool" verify "$pack" > /dev/null || fail "verify $pack"
    for f in "${files[@]}"; do
      "$tool" cat "$pack" "$f" | cmp -s - "$f" || fail "cat $pack $f"
    done
    rm -rf out && "$tool" extract "$pack" out && for f in "${files[@]}"; do
      cmp -s "out/$f" "$f" || fail "extract $pack $f"
    done
  done
done
"$tool" list hashed-auto.pack | grep -q $'^[0-9]\thello.txt\t[a-z0-9]*\t12\t[0-9]*\t[0-9]*$' ||
  fail "list columns"

status() { set +e; "$@" > /dev/null 2> err.txt; echo $?; set -e; }
[ "$(status "$tool" cat plain-auto.pack missing.txt)" -eq 2 ] || fail "missing entry"
[ "$(wc -l < err.txt)" -eq 1 ] || fail "one error line"
[ "$(status "$tool" list no-such.pack)" -eq 1 ] || fail "missing pack"
[ "$(status "$tool" create x.pack --layout round a)" -eq 64 ] || fail "usage"
[ "$(status "$tool" create y.pack ./abcdefghijklmnopqrstuvwxyz.txt)" -eq 2 ] || fail "long name"
# A pack cut inside its last entry: cat delivers what there is, exit 2.
size=$(stat -c %s plain-zlc2.pack)
head -c $((size - 100)) plain-zlc2.pack > cut.pack
[ "$(status "$tool" cat cut.pack hello.txt)" -eq 0 ] || fail "untouched entry of a cut pack"
[ "$(status "$tool" verify cut.pack)" -eq 2 ] || fail "verify of a cut pack"
echo "packtool round trip: 1 passed, 0 failed"

#!/usr/bin/env bash
# packtool round trip: create in every layout and coding, list, cat, verify,
# extract; then the exit statuses of a damaged pack, a missing entry and
# usage errors; cut headers and hidden records; --help, /? and --version.
# Arguments: the program, the version it must report.
set -euo pipefail
tool=$(realpath "$1")
version=$2
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

# Hand-made packs. le32 writes a little-endian word, name24 a record's name.
le32() { printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) \
  $(($1 >> 16 & 255)) $(($1 >> 24 & 255)))"; }
name24() { printf '%s' "$1"; head -c $((24 - ${#1})) /dev/zero; }
# The last entry's Zlc2 header is cut by the end of the file: list shows the
# record's size (6) and says so.
{ le32 1; le32 36; le32 6; name24 c; printf 'ZLC2\x01\x00'; } > cuthead.pack
[ "$("$tool" list cuthead.pack 2> /dev/null)" = "$(printf '0\tc\tzlc2-cut-header\t6\t36')" ] ||
  fail "list of a cut header"
[ "$(status "$tool" list cuthead.pack)" -eq 2 ] && grep -q 'record 0 "c": not a well-formed entry' err.txt ||
  fail "list passed a cut header"

# Files that are no well-formed pack: refused by list and verify with a reason.
printf 'root:x:0:0:root:/root:/bin/bash\n' > passwd.txt
head -c 16 plain-stored.pack > cut16.pack
{ le32 $((0x01000001)); le32 0; le32 9999; } > far-index.pack
{ le32 1; le32 100; le32 4; name24 x; } > entry-outside.pack
for bad in passwd.txt cut16.pack far-index.pack entry-outside.pack; do
  for command in list verify; do
    [ "$(status "$tool" $command $bad)" -eq 2 ] || fail "$command passed $bad"
    grep -q 'not a well-formed' err.txt || fail "$command $bad: no reason: $(cat err.txt)"
  done
done
# A folder where a file is expected: a clear error, and no pack left behind.
mkdir folder && cp hello.txt folder/
[ "$(status "$tool" create folder.pack folder)" -eq 2 ] && grep -q 'folder: a folder' err.txt ||
  fail "create of a folder"
[ ! -e folder.pack ] || fail "create of a folder left a pack"
[ "$(status "$tool" create folder hello.txt)" -eq 1 ] || fail "create onto a folder"
[ "$(status "$tool" list folder)" -eq 1 ] && grep -q 'a folder, not a pack file' err.txt ||
  fail "list of a folder"
# A hashed pack (key 0) whose record 0 "dup" carries a wrong hash: the lookup
# finds record 1 "dup" after it, which hides it.
{ le32 $((0x80000002)); le32 76; le32 4; name24 dup; le32 0
  le32 76; le32 4; name24 dup; le32 478; printf 'data'; le32 0; le32 4; } > hidden.pack
"$tool" verify hidden.pack > /dev/null 2> err.txt || fail "verify of a hidden record"
grep -q 'record 0 "dup": is hidden by record 1 of the same name' err.txt || fail "hidden by a later record"
[ "$("$tool" --version)" = "packtool $version" ] || fail "--version"
for ask in --help '/?'; do
  "$tool" "$ask" | grep -q '^usage: packtool create' || fail "$ask"
done
echo "packtool round trip: 1 passed, 0 failed"

#!/usr/bin/env bash
# qvx.exe under wine64 against qvx: a tree with Unicode names, read-only
# files and empty folders, with fixed times, packed by each (a bare archive
# and a self-extractor) must give the same bytes but for the creation times;
# qvx.exe must list and test them, and extract both back to the tree: same
# bytes, the read-only bit, the times and the empty folders.
#
# usage: same_archives.sh QVX QVX_EXE WORK
set -uo pipefail
qvx=$(realpath "$1") qvx_exe=$(realpath "$2") work=$3
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
wqvx() { wine "$qvx_exe" "$@"; }

mkdir -p tree/empty "tree/Папка/日本語" "tree/deep/a/b/c/empty too"
printf 'hello\r\nworld\n' >tree/a.txt
printf 'ünïcödé\n' >"tree/Папка/日本語/ファイル-😀.txt"
head -c 300000 "$qvx" >"tree/deep/a/b/binary.bin"
: >tree/zero-length
printf 'keep\n' >tree/read-only.txt
chmod a-w tree/read-only.txt
find tree -exec touch -h -d '2021-06-15 10:20:30' {} +

# The creation times cannot agree: Linux gives each file the time it was
# made (statx's birth time, which nothing can set), Wine another. So the
# archives must agree byte for byte up to the directory, and their listings
# in everything but the creation times (the compressed directory, its check
# value and so the archive's length differ by those alone).
same_but_created() {  # A B [OFFSET]: A's and B's archives at OFFSET
    python3 - "$@" <<'PYEOF'
import struct, sys
a, b = open(sys.argv[1], "rb").read(), open(sys.argv[2], "rb").read()
at = int(sys.argv[3]) if len(sys.argv) > 3 else 0
directory = at + struct.unpack_from("<I", a, at + 4)[0]
# All but the directory's check value (offset 16) and the archive's length (20).
mask = lambda d: d[:at + 16] + d[at + 24:directory]
sys.exit(0 if len(a) > directory and mask(a) == mask(b) else 1)
PYEOF
}
listing() { "$qvx" l --json "$1" | grep -v '"created"\|"archive"\|"packed_bytes"'; }
"$qvx" a -q -T1 linux.qvx tree/. || fail "qvx a"
wqvx a -q -T1 windows.qvx tree/. || fail "qvx.exe a"
same_but_created linux.qvx windows.qvx || fail "the bare archives differ before their directories"
[ "$(listing linux.qvx)" = "$(listing windows.qvx)" ] || fail "the bare archives list differently"
"$qvx" a -q -T1 linux.exe tree/. --title "Tree" || fail "qvx a .exe"
wqvx a -q -T1 windows.exe tree/. --title "Tree" || fail "qvx.exe a .exe"
start=$(( $(stat -c %s linux.exe) - $(stat -c %s linux.qvx) ))
same_but_created linux.exe windows.exe "$start" || fail "the self-extractors differ before their directories"
[ "$(listing linux.exe)" = "$(listing windows.exe)" ] || fail "the self-extractors list differently"

wqvx t -q windows.qvx || fail "qvx.exe t"
wqvx l windows.exe >listing.txt || fail "qvx.exe l"
grep -q 'ファイル-😀.txt' listing.txt || fail "the listing lacks the Unicode name: $(cat listing.txt)"
for archive in linux.qvx windows.exe; do
    out=x-${archive%.*}
    wqvx x -q "$archive" -o "$out" || fail "qvx.exe x $archive"
    diff -r tree "$out" || fail "$archive: the extracted tree differs"
    [ -d "$out/empty" ] && [ -d "$out/deep/a/b/c/empty too" ] || fail "$archive: an empty folder is missing"
    [ "$(stat -c %a "$out/read-only.txt")" != "$(stat -c %a "$out/a.txt")" ] ||
        fail "$archive: read-only.txt came out writable"
    [ "$(stat -c %Y "$out/a.txt")" = "$(stat -c %Y tree/a.txt)" ] || fail "$archive: a.txt's time"
    [ "$(stat -c %Y "$out/Папка")" = "$(stat -c %Y tree/Папка)" ] || fail "$archive: Папка's time"
done
# Extracting again over the files: kept without -y, replaced with it.
wqvx x -q linux.qvx -o x-linux </dev/null 2>/dev/null
[ $? = 1 ] || fail "qvx.exe x over existing files without -y: exit code"
wqvx x -q -y linux.qvx -o x-linux || fail "qvx.exe x -y over existing files"
ls x-linux | grep -q '~dx' && fail "a temporary file was left"

chmod -R u+w "$work"
if [ "$failures" -ne 0 ]; then
    echo "qvx.exe: $failures failed"
    exit 1
fi
echo "qvx.exe: all checks passed"

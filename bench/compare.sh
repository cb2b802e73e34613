#!/usr/bin/env bash
# Compares qvx with the common compressors on the Silesia corpus files:
# compressed size, ratio, pack time and extract time, one table for all.
#
# usage: bench/compare.sh [QVX] [FILE...]
#   QVX     the qvx binary (default: $QVX, then qvx on the PATH)
#   FILE    corpus names (default: every *.zip in the corpus folder)
# environment:
#   CORPUS      folder of the corpus zips (default: /work/shared/corpus/silesia)
#   QVX_LEVELS  qvx levels to run (default: "1 6 9")
#   TOOLS       which others to run (default: "gzip bzip2 xz zstd 7z")
#
# Every program runs on one thread (xz -T1, zstd -T1, 7z -mmt1), as qvx
# does, and every result is unpacked again and compared with the original.
set -u

QVX_BIN=${1:-${QVX:-$(command -v qvx || true)}}
[ $# -gt 0 ] && shift
CORPUS=${CORPUS:-/work/shared/corpus/silesia}
LEVELS=${QVX_LEVELS:-"1 6 9"}
TOOLS=${TOOLS:-"gzip bzip2 xz zstd 7z"}

if [ -z "$QVX_BIN" ] || [ ! -x "$QVX_BIN" ]; then
    echo "compare.sh: no qvx binary (give its path as the first argument)" >&2
    exit 2
fi
QVX_BIN=$(realpath "$QVX_BIN")
if [ ! -d "$CORPUS" ] || ! ls "$CORPUS"/*.zip >/dev/null 2>&1; then
    echo "compare.sh: corpus not found in $CORPUS; skipping" >&2
    exit 0
fi

if [ $# -gt 0 ]; then
    files=("$@")
else
    files=()
    for z in "$CORPUS"/*.zip; do files+=("$(basename "$z" .zip)"); done
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/qvx-compare-XXXXXX")
trap 'rm -rf "$WORK"' EXIT

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

# pack_cmd TOOL IN OUT / unpack_cmd TOOL ARCHIVE DIR (result in DIR/<name>)
pack() {
    local tool=$1 in=$2 out=$3
    case $tool in
    qvx-*) "$QVX_BIN" a "-${tool#qvx-}" -f "$out" "$in" >/dev/null ;;
    gzip) gzip -9 -c "$in" >"$out" ;;
    bzip2) bzip2 -9 -c "$in" >"$out" ;;
    xz) xz -9 -T1 -c "$in" >"$out" ;;
    zstd) zstd -19 -T1 -q -c "$in" >"$out" ;;
    7z) (cd "$(dirname "$in")" && 7z a -mx9 -mmt1 "$out" "$(basename "$in")" >/dev/null) ;;
    esac
}

unpack() {
    local tool=$1 archive=$2 dir=$3 name=$4
    mkdir -p "$dir"
    case $tool in
    qvx-*) "$QVX_BIN" x -y "$archive" -o "$dir" >/dev/null ;;
    gzip) gzip -d -c "$archive" >"$dir/$name" ;;
    bzip2) bzip2 -d -c "$archive" >"$dir/$name" ;;
    xz) xz -d -T1 -c "$archive" >"$dir/$name" ;;
    zstd) zstd -d -T1 -q -c "$archive" >"$dir/$name" ;;
    7z) 7z x -y -mmt1 "-o$dir" "$archive" >/dev/null ;;
    esac
}

tools=()
for l in $LEVELS; do tools+=("qvx-$l"); done
for t in $TOOLS; do
    if command -v "$t" >/dev/null 2>&1; then tools+=("$t"); else echo "compare.sh: $t not installed; skipped" >&2; fi
done

declare -A total_size total_pack total_unpack
total_in=0
printf '%-9s %-7s %11s %11s %7s %9s %9s\n' file program original packed ratio "pack s" "unpack s"
printf '%-9s %-7s %11s %11s %7s %9s %9s\n' --------- ------- ----------- ----------- ------- --------- ---------
for name in "${files[@]}"; do
    zip="$CORPUS/$name.zip"
    if [ ! -f "$zip" ]; then
        echo "compare.sh: $zip missing; skipped" >&2
        continue
    fi
    rm -rf "$WORK/in" && mkdir -p "$WORK/in"
    unzip -q -o "$zip" -d "$WORK/in" || continue
    in="$WORK/in/$name"
    original=$(stat -c %s "$in")
    total_in=$((total_in + original))
    for tool in "${tools[@]}"; do
        archive="$WORK/$name.$tool"
        rm -f "$archive" && rm -rf "$WORK/out"
        t0=$(now)
        if ! pack "$tool" "$in" "$archive"; then
            printf '%-9s %-7s %11s %s\n' "$name" "$tool" "$original" "pack FAILED"
            continue
        fi
        t1=$(now)
        unpack "$tool" "$archive" "$WORK/out" "$name"
        t2=$(now)
        size=$(stat -c %s "$archive")
        check=""
        cmp -s "$in" "$WORK/out/$name" || check="  MISMATCH"
        ratio=$(awk -v a="$size" -v b="$original" 'BEGIN { printf "%.2f%%", 100 * a / b }')
        printf '%-9s %-7s %11d %11d %7s %9s %9s%s\n' "$name" "$tool" "$original" "$size" "$ratio" \
            "$(elapsed "$t0" "$t1")" "$(elapsed "$t1" "$t2")" "$check"
        total_size[$tool]=$(( ${total_size[$tool]:-0} + size ))
        total_pack[$tool]=$(awk -v a="${total_pack[$tool]:-0}" -v b="$(elapsed "$t0" "$t1")" 'BEGIN { print a + b }')
        total_unpack[$tool]=$(awk -v a="${total_unpack[$tool]:-0}" -v b="$(elapsed "$t1" "$t2")" 'BEGIN { print a + b }')
        rm -f "$archive"
    done
done
if [ "$total_in" -gt 0 ]; then
    printf '%-9s %-7s %11s %11s %7s %9s %9s\n' --------- ------- ----------- ----------- ------- --------- ---------
    for tool in "${tools[@]}"; do
        size=${total_size[$tool]:-0}
        ratio=$(awk -v a="$size" -v b="$total_in" 'BEGIN { printf "%.2f%%", 100 * a / b }')
        printf '%-9s %-7s %11d %11d %7s %9.2f %9.2f\n' total "$tool" "$total_in" "$size" "$ratio" \
            "${total_pack[$tool]:-0}" "${total_unpack[$tool]:-0}"
    done
fi

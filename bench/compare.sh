#!/usr/bin/env bash
# Compares qvx with the common compressors on the seven Silesia corpus files:
# packed bytes, ratio, processor time and peak memory of packing and of
# unpacking, one table for all.
#
# usage: bench/compare.sh [--readme] QVX [OLD_QVX]
#   QVX       the qvx binary to measure (default: build/qvx)
#   OLD_QVX   an earlier qvx: its rows ("before") come from the same run
#   --readme  also writes the table into README.md, between the
#             "compare table" marker lines (rows of OLD_QVX left out)
# environment:
#   DRAVEX_SHARED  shared folder holding corpus/silesia/*.zip (default:
#                  ../shared beside the checkout)
#   QVX_LEVELS     qvx levels to run (default: "1 6 9")
#   TOOLS          which others to run (default: "gzip bzip2 xz zstd 7z")
#
# qvx packs the seven files; the others pack a tar of them (each is a
# single-stream compressor, or 7z with one solid stream). Every program runs
# on one thread (xz -T1, zstd -T1, 7z -mmt1). Times are user + system
# processor seconds of the whole process and memory its peak resident set,
# both from /usr/bin/time, so other jobs on the machine hardly change them.
# Every result is unpacked and compared with the original.
set -u

here=$(cd "$(dirname "$0")/.." && pwd)
readme=0
if [ "${1:-}" = "--readme" ]; then
    readme=1
    shift
fi
QVX_NEW=${1:-$here/build/qvx}
QVX_OLD=${2:-}
SHARED=${DRAVEX_SHARED:-$here/../shared}
CORPUS=$SHARED/corpus/silesia
LEVELS=${QVX_LEVELS:-"1 6 9"}
TOOLS=${TOOLS:-"gzip bzip2 xz zstd 7z"}
FILES="dickens mr nci ooffice osdb reymont xml"

for q in "$QVX_NEW" $QVX_OLD; do
    if [ ! -x "$q" ]; then
        echo "compare.sh: $q is not an executable qvx" >&2
        exit 2
    fi
done
QVX_NEW=$(realpath "$QVX_NEW")
[ -n "$QVX_OLD" ] && QVX_OLD=$(realpath "$QVX_OLD")
if [ ! -x /usr/bin/time ]; then
    echo "compare.sh: /usr/bin/time missing (scripts/install-deps.sh installs it)" >&2
    exit 2
fi
for f in $FILES; do
    if [ ! -f "$CORPUS/$f.zip" ]; then
        echo "compare.sh: $CORPUS/$f.zip not found; skipping" >&2
        exit 0
    fi
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/qvx-compare-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/in"
for f in $FILES; do unzip -q -o "$CORPUS/$f.zip" -d "$WORK/in"; done
(cd "$WORK/in" && tar cf "$WORK/corpus.tar" $FILES)
original=0
for f in $FILES; do original=$((original + $(stat -c %s "$WORK/in/$f"))); done

# measure FILE CMD...: runs CMD under /usr/bin/time and stores "cpu_seconds peak_mb"
# in FILE; returns CMD's status.
measure() {
    local result=$1
    shift
    /usr/bin/time -f "%U %S %M" -o "$WORK/time" "$@"
    local status=$?
    awk '{ printf "%.2f %d\n", $1 + $2, ($3 + 1023) / 1024 }' "$WORK/time" >"$result"
    return $status
}

# run NAME: packs and unpacks with one program, checks the result, prints a row.
run() {
    local name=$1 archive="$WORK/archive" out="$WORK/out" ok=1
    rm -rf "$archive" "$archive".* "$out" && mkdir -p "$out"
    case $name in
    "qvx -"* | "qvx before -"*)
        local bin=$QVX_NEW level=${name##*-}
        [[ $name == "qvx before"* ]] && bin=$QVX_OLD
        (cd "$WORK/in" && measure "$WORK/pack" "$bin" a "-$level" -f "$archive" $FILES >/dev/null) || ok=0
        measure "$WORK/unpack" "$bin" x -y "$archive" -o "$out" >/dev/null || ok=0
        for f in $FILES; do cmp -s "$WORK/in/$f" "$out/$f" || ok=0; done
        ;;
    *)
        case $name in
        gzip) measure "$WORK/pack" gzip -9 -c "$WORK/corpus.tar" >"$archive" &&
            measure "$WORK/unpack" gzip -d -c "$archive" >"$out/corpus.tar" ;;
        bzip2) measure "$WORK/pack" bzip2 -9 -c "$WORK/corpus.tar" >"$archive" &&
            measure "$WORK/unpack" bzip2 -d -c "$archive" >"$out/corpus.tar" ;;
        xz) measure "$WORK/pack" xz -9 -T1 -c "$WORK/corpus.tar" >"$archive" &&
            measure "$WORK/unpack" xz -d -T1 -c "$archive" >"$out/corpus.tar" ;;
        zstd) measure "$WORK/pack" zstd -19 -T1 -q -c "$WORK/corpus.tar" >"$archive" &&
            measure "$WORK/unpack" zstd -d -T1 -q -c "$archive" >"$out/corpus.tar" ;;
        7z) archive="$archive.7z"
            measure "$WORK/pack" 7z a -mx9 -mmt1 "$archive" "$WORK/corpus.tar" >/dev/null &&
            measure "$WORK/unpack" 7z x -y -mmt1 "-o$out" "$archive" >/dev/null ;;
        esac || ok=0
        cmp -s "$WORK/corpus.tar" "$out/corpus.tar" || ok=0
        ;;
    esac
    local label=$name
    case $name in
    gzip | bzip2 | xz) label="$name -9" ;;
    zstd) label="zstd -19" ;;
    7z) label="7z -mx9" ;;
    "qvx before -"*) label="qvx -${name##*-} (before)" ;;
    esac
    if [ $ok -ne 1 ]; then
        echo "| $label | FAILED | | | | | |"
        return
    fi
    local size pack unpack
    size=$(stat -c %s "$archive")
    read -r pack_cpu pack_mb <"$WORK/pack"
    read -r unpack_cpu unpack_mb <"$WORK/unpack"
    awk -v l="$label" -v s="$size" -v o="$original" -v pc="$pack_cpu" -v uc="$unpack_cpu" \
        -v pm="$pack_mb" -v um="$unpack_mb" 'BEGIN {
            printf "| %s | %s | %.3f | %.2f | %.2f | %d | %d |\n", l, grouped(s), o / s, pc, uc, pm, um }
        function grouped(v,   t) { t = ""; while (v >= 1000) { t = sprintf(",%03d", v % 1000) t; v = int(v / 1000) } return v t }'
}

rows=()
for l in $LEVELS; do
    rows+=("qvx -$l")
    [ -n "$QVX_OLD" ] && rows+=("qvx before -$l")
done
for t in $TOOLS; do
    if command -v "$t" >/dev/null 2>&1; then rows+=("$t"); else echo "compare.sh: $t not installed; skipped" >&2; fi
done

table="$WORK/table"
{
    echo "The seven Silesia files, $(echo "$original" | sed ':a;s/\B[0-9]\{3\}\>/,&/;ta') bytes; qvx packs the files, the others their tar."
    echo
    echo "| tool | bytes | ratio | pack CPU s | unpack CPU s | pack peak MB | unpack peak MB |"
    echo "|---|---:|---:|---:|---:|---:|---:|"
} >"$table"
cat "$table"
for r in "${rows[@]}"; do
    line=$(run "$r")
    echo "$line"
    echo "$line" >>"$table"
done

if [ $readme -eq 1 ]; then
    grep -v "(before)" "$table" >"$WORK/readme_table"
    awk -v table="$WORK/readme_table" '
        /^<!-- compare table begin/ { print; while ((getline line < table) > 0) print line; skip = 1; next }
        /^<!-- compare table end/ { skip = 0 }
        !skip { print }' "$here/README.md" >"$WORK/README.md"
    if cmp -s "$here/README.md" "$WORK/README.md" || ! grep -q "^<!-- compare table end" "$here/README.md"; then
        echo "compare.sh: README.md has no compare table markers, or nothing changed" >&2
    else
        cp "$WORK/README.md" "$here/README.md"
        echo "README.md updated" >&2
    fi
fi

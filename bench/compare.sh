#!/usr/bin/env bash
# Compares qvx with the common compressors on a corpus: packed bytes, ratio,
# processor time and peak memory of packing and of unpacking, one table for
# all.
#
# usage: bench/compare.sh [--readme] [--corpus silesia|software] QVX [OLD_QVX]
#   QVX       the qvx binary to measure (default: build/qvx)
#   OLD_QVX   an earlier qvx: its rows ("before") come from the same run
#   --corpus  silesia (default): the seven Silesia files; software: the
#             tree bench/software_corpus.sh builds (Windows DLLs and
#             programs, Python's library, headers, documentation)
#   --readme  also writes the table into README.md, between the corpus's
#             marker lines ("compare table" for Silesia, "software table"
#             for the software corpus; rows of OLD_QVX left out)
# environment:
#   DRAVEX_SHARED  shared folder holding corpus/silesia/*.zip (default:
#                  ../shared beside the checkout)
#   SOFTWARE_CORPUS  a software corpus already built (its folder, holding
#                  usr/); without it the corpus is built in the work folder
#   QVX_LEVELS     qvx levels to run (default: "1 6 9")
#   TOOLS          which others to run (default: "gzip bzip2 xz zstd 7z" on
#                  Silesia, "gzip xz6 xz zstd zstd512 7z" on the software
#                  corpus; xz6 is xz -6, zstd512 zstd -19 with a 512 KB
#                  window, the largest history a QVX block may use)
#
# qvx packs the files; the others pack a tar of them (each is a
# single-stream compressor), except 7z, which packs the Silesia tar and the
# software corpus's files (one solid stream either way). The others run on
# one thread (xz -T1, zstd -T1, 7z -mmt1); qvx on its default threads, whose
# archive is the same whatever their number. Times are user + system
# processor seconds of the whole process and memory its peak resident set,
# both from /usr/bin/time, so other jobs on the machine hardly change them.
# Every result is unpacked and compared with the original.
set -u

here=$(cd "$(dirname "$0")/.." && pwd)
readme=0
corpus=silesia
while [ $# -gt 0 ]; do
    case $1 in
    --readme) readme=1; shift ;;
    --corpus) corpus=${2:-}; shift 2 || shift ;;
    --corpus=*) corpus=${1#--corpus=}; shift ;;
    *) break ;;
    esac
done
case $corpus in
silesia | software) ;;
*) echo "compare.sh: --corpus takes silesia or software, not \"$corpus\"" >&2; exit 7 ;;
esac
QVX_NEW=${1:-$here/build/qvx}
QVX_OLD=${2:-}
SHARED=${DRAVEX_SHARED:-$here/../shared}
CORPUS=$SHARED/corpus/silesia
LEVELS=${QVX_LEVELS:-"1 6 9"}
if [ $corpus = silesia ]; then
    TOOLS=${TOOLS:-"gzip bzip2 xz zstd 7z"}
    FILES="dickens mr nci ooffice osdb reymont xml"
    MARKER="compare table"
else
    TOOLS=${TOOLS:-"gzip xz6 xz zstd zstd512 7z"}
    FILES="usr"
    MARKER="software table"
fi

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
if [ $corpus = silesia ]; then
    for f in $FILES; do
        if [ ! -f "$CORPUS/$f.zip" ]; then
            echo "compare.sh: $CORPUS/$f.zip not found; skipping" >&2
            exit 0
        fi
    done
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/qvx-compare-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
if [ $corpus = silesia ]; then
    mkdir -p "$WORK/in"
    for f in $FILES; do unzip -q -o "$CORPUS/$f.zip" -d "$WORK/in"; done
    title_files="The seven Silesia files"
elif [ -n "${SOFTWARE_CORPUS:-}" ]; then
    ln -s "$(realpath "$SOFTWARE_CORPUS")" "$WORK/in"
    title_files="The software corpus (bench/software_corpus.sh)"
else
    "$here/bench/software_corpus.sh" "$WORK/in" >&2 || exit 2
    title_files="The software corpus (bench/software_corpus.sh)"
fi
(cd "$WORK/in/" && tar cf "$WORK/corpus.tar" --sort=name $FILES)
original=$(cd "$WORK/in/" && find $FILES -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
file_count=$(cd "$WORK/in/" && find $FILES -type f | wc -l)

# same_tree DIR: whether DIR holds the corpus's files, byte for byte.
same_tree() {
    local f
    for f in $FILES; do
        diff -r -q "$WORK/in/$f" "$1/$f" >&2 || return 1
    done
}

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
        (cd "$WORK/in/" && measure "$WORK/pack" "$bin" a "-$level" -f "$archive" $FILES >/dev/null) || ok=0
        measure "$WORK/unpack" "$bin" x -y "$archive" -o "$out" >/dev/null || ok=0
        same_tree "$out" || ok=0
        ;;
    *)
        case $name in
        gzip) measure "$WORK/pack" gzip -9 -c "$WORK/corpus.tar" >"$archive" &&
            measure "$WORK/unpack" gzip -d -c "$archive" >"$out/corpus.tar" ;;
        bzip2) measure "$WORK/pack" bzip2 -9 -c "$WORK/corpus.tar" >"$archive" &&
            measure "$WORK/unpack" bzip2 -d -c "$archive" >"$out/corpus.tar" ;;
        xz6) measure "$WORK/pack" xz -6 -T1 -c "$WORK/corpus.tar" >"$archive" &&
            measure "$WORK/unpack" xz -d -T1 -c "$archive" >"$out/corpus.tar" ;;
        xz) measure "$WORK/pack" xz -9 -T1 -c "$WORK/corpus.tar" >"$archive" &&
            measure "$WORK/unpack" xz -d -T1 -c "$archive" >"$out/corpus.tar" ;;
        zstd) measure "$WORK/pack" zstd -19 -T1 -q -c "$WORK/corpus.tar" >"$archive" &&
            measure "$WORK/unpack" zstd -d -T1 -q -c "$archive" >"$out/corpus.tar" ;;
        zstd512) measure "$WORK/pack" zstd -19 --zstd=wlog=19 -T1 -q -c "$WORK/corpus.tar" >"$archive" &&
            measure "$WORK/unpack" zstd -d -T1 -q -c "$archive" >"$out/corpus.tar" ;;
        7z) archive="$archive.7z"
            if [ $corpus = silesia ]; then
                measure "$WORK/pack" 7z a -mx9 -mmt1 "$archive" "$WORK/corpus.tar" >/dev/null
            else
                (cd "$WORK/in/" && measure "$WORK/pack" 7z a -mx9 -mmt1 "$archive" $FILES >/dev/null)
            fi &&
            measure "$WORK/unpack" 7z x -y -mmt1 "-o$out" "$archive" >/dev/null ;;
        esac || ok=0
        if [ $corpus = software ] && [ $name = 7z ]; then
            same_tree "$out" || ok=0
        else
            cmp -s "$WORK/corpus.tar" "$out/corpus.tar" || ok=0
        fi
        ;;
    esac
    local label=$name
    case $name in
    gzip | bzip2 | xz) label="$name -9" ;;
    xz6) label="xz -6" ;;
    zstd) label="zstd -19" ;;
    zstd512) label="zstd -19, 512 KB window" ;;
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
    program=$t
    case $t in xz6) program=xz ;; zstd512) program=zstd ;; esac
    if command -v "$program" >/dev/null 2>&1; then rows+=("$t"); else echo "compare.sh: $t not installed; skipped" >&2; fi
done

table="$WORK/table"
{
    if [ $corpus = silesia ]; then
        echo "$title_files, $(echo "$original" | sed ':a;s/\B[0-9]\{3\}\>/,&/;ta') bytes; qvx packs the files, the others their tar."
    else
        echo "$title_files, $file_count files, $(echo "$original" | sed ':a;s/\B[0-9]\{3\}\>/,&/;ta') bytes; qvx and 7z pack the files, the others their tar."
    fi
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
    awk -v table="$WORK/readme_table" -v marker="$MARKER" '
        index($0, "<!-- " marker " begin") == 1 { print; while ((getline line < table) > 0) print line; skip = 1; next }
        index($0, "<!-- " marker " end") == 1 { skip = 0 }
        !skip { print }' "$here/README.md" >"$WORK/README.md"
    if cmp -s "$here/README.md" "$WORK/README.md" || ! grep -q "^<!-- $MARKER end" "$here/README.md"; then
        echo "compare.sh: README.md has no compare table markers, or nothing changed" >&2
    else
        cp "$WORK/README.md" "$here/README.md"
        echo "README.md updated" >&2
    fi
fi

#!/usr/bin/env bash
# The self-extractor end to end: the seven Silesia files packed at -6 and -9
# into self-extractors with the x86-64 stub, extracted unattended under
# wine64 (/S /D=), beside qvx x of the same archive and xz -d of the tar at
# xz -9, all in one run.
#
# usage: bench/sfx_wine_bench.sh [BUILD_DIR]   (default: build)
#   DRAVEX_SHARED  shared folder holding corpus/silesia/*.zip (default:
#                  ../shared beside the repository)
#   RUNS           runs of each extraction; the fastest counts (default 3)
#
# Times are user + system processor seconds from /usr/bin/time. A Windows
# program under Wine is the process Wine starts, so its time covers Wine's
# own start-up: that is measured apart, as the same stub extracting a
# one-byte archive, and subtracted. One Wine server, started first, lives
# for the whole run, so no row pays for starting it.
set -u

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$here/build}")
SHARED=${DRAVEX_SHARED:-$here/../shared}
CORPUS=$SHARED/corpus/silesia
RUNS=${RUNS:-3}
FILES="dickens mr nci ooffice osdb reymont xml"
qvx=$build/qvx
stub=$build/dravex-stub64.exe

for need in wine wineserver xz unzip /usr/bin/time; do
    if ! command -v "$need" >/dev/null; then
        echo "sfx_wine_bench.sh: $need missing (scripts/install-deps.sh installs it); skipping" >&2
        exit 0
    fi
done
for f in $FILES; do
    if [ ! -f "$CORPUS/$f.zip" ]; then
        echo "sfx_wine_bench.sh: $CORPUS/$f.zip not found; skipping" >&2
        exit 0
    fi
done
if [ ! -x "$qvx" ] || [ ! -f "$stub" ]; then
    echo "sfx_wine_bench.sh: build $qvx and $stub first (cmake --build $build)" >&2
    exit 2
fi

work=$build/sfx-wine-bench
rm -rf "$work"
mkdir -p "$work/in"
trap 'wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
for f in $FILES; do
    unzip -q -o "$CORPUS/$f.zip" -d "$work/in"
done
cd "$work"
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
wineserver -p
wine wineboot </dev/null >/dev/null 2>&1

winpath() { local p; p=$(realpath -m "$1"); echo "Z:${p//\//\\}"; }

# The fastest of RUNS runs of a command, in processor seconds; the command
# is run from a clean output folder each time.
cpu() {
    local best="" t i
    for i in $(seq "$RUNS"); do
        rm -rf out && mkdir out
        /usr/bin/time -o time.txt -f "%U %S" "$@" >/dev/null 2>&1
        t=$(awk '{printf "%.2f", $1 + $2}' time.txt)
        if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then
            best=$t
        fi
    done
    echo "$best"
}

# The run extracted everything, byte for byte.
check() {
    local f
    for f in $FILES; do
        cmp -s "in/$f" "out/$1$f" || { echo "sfx_wine_bench.sh: $2 did not extract $f" >&2; exit 1; }
    done
}

printf x > one.txt
"$qvx" a -q --stub "$stub" start.exe one.txt >/dev/null
startup=$(cpu wine start.exe /S "/D=$(winpath out)")

tar -C in -cf silesia.tar $FILES
xz -9 -T1 -k -c silesia.tar > silesia.tar.xz
xz_time=$(cpu sh -c 'xz -d -c silesia.tar.xz > out/silesia.tar')

echo "Wine's start-up (a one-byte self-extractor): $startup s"
echo
echo "| level | self-extractor | stub under wine64, less start-up | qvx x | xz -d (xz -9) |"
echo "|---|---:|---:|---:|---:|"
for level in 6 9; do
    "$qvx" a -q "-$level" --stub "$stub" "sfx$level.exe" $(printf 'in/%s ' $FILES) >/dev/null
    stub_time=$(cpu wine "sfx$level.exe" /S "/D=$(winpath out)")
    check "" "the stub (-$level)"
    qvx_time=$(cpu "$qvx" x -q -y "sfx$level.exe" -o out)
    check "" "qvx x (-$level)"
    net=$(awk -v a="$stub_time" -v b="$startup" 'BEGIN { printf "%.2f", a - b }')
    printf '| -%s | %s bytes | %s s (%s s in all) | %s s | %s s |\n' "$level" \
        "$(stat -c %s "sfx$level.exe")" "$net" "$stub_time" "$qvx_time" "$xz_time"
done

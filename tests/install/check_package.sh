#!/usr/bin/env bash
# Checks what a user installs: the man page renders without warnings and
# names every option qvx --help lists; `cpack -G DEB` makes a .deb that holds
# qvx, its man page and bash completion (and the stub, when built), whose
# dependencies this system satisfies; unpacked into a scratch root (the
# system's package database untouched), its qvx prints the build's version
# and round-trips a tree, through a bare archive and a self-extractor.
#
# usage: check_package.sh BUILD_DIR QVX VERSION SOURCE_DIR
set -euo pipefail
build=$1 qvx=$2 version=$3 src=$4
work=$build/package-test
rm -rf "$work"
mkdir -p "$work"
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

# --- the man page ---------------------------------------------------------------
page=$src/tools/qvx.1
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "man cannot render $page"
[ -z "$warnings" ] || fail "man --warnings on $page: $warnings"
# Every option of every command's --help (a word starting with - after the
# indent or a comma), written in the page as man writes a hyphen.
for command in "" a x t l sfx; do
    # shellcheck disable=SC2086
    "$qvx" $command --help | grep -oE '^ +-[^ ]+(, *-[^ ]+)*' | tr ',' '\n' | tr -d ' ' | sed 's/=.*//'
done | sort -u >"$work/options"
[ -s "$work/options" ] || fail "no options read from qvx --help"
while read -r option; do
    grep -qF -- "${option//-/\\-}" "$page" || fail "the man page does not name $option"
done <"$work/options"

# --- the package ----------------------------------------------------------------
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack -G DEB"; exit 1; }
deb=$(ls "$work"/out/*.deb)
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"
dpkg-deb -c "$deb" | awk '{print $NF}' >"$work/contents"
expected=(./usr/bin/qvx ./usr/share/man/man1/qvx.1.gz ./usr/share/bash-completion/completions/qvx)
stub=$build/dravex-stub.exe
[ -f "$stub" ] && expected+=(./usr/share/dravex/dravex-stub.exe)
for path in "${expected[@]}"; do
    grep -qxF "$path" "$work/contents" || fail "the package lacks $path"
done
grep -v '^\./usr/' "$work/contents" | grep -v '^\./$' && fail "the package installs outside /usr"

[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version $(dpkg-deb -f "$deb" Version), not $version"
# Each dependency must be installed here in a version that satisfies it, as
# on any Debian 12 system with those packages.
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends == *libdivsufsort* ]] || fail "Depends lacks libdivsufsort: $depends"
IFS=',' read -ra items <<<"$depends"
for item in "${items[@]}"; do
    item=$(echo "$item" | sed 's/^ *//; s/ *$//')
    name=${item%% *}
    have=$(dpkg-query -W -f='${Version}' "$name" 2>/dev/null) || { fail "dependency $name not installed"; continue; }
    if [[ $item =~ \(([<>=]+)\ ([^\)]+)\) ]]; then
        op=${BASH_REMATCH[1]} want=${BASH_REMATCH[2]}
        case $op in '>=') op=ge ;; '<=') op=le ;; '=') op=eq ;; '>>') op=gt ;; '<<') op=lt ;; esac
        dpkg --compare-versions "$have" "$op" "$want" || fail "$name $have does not satisfy $item"
    fi
done

# --- the unpacked package -------------------------------------------------------
root=$work/root
dpkg-deb -x "$deb" "$root"
installed=$root/usr/bin/qvx
out=$("$installed" --version)
[ "$out" = "qvx $version" ] || fail "installed qvx --version says \"$out\", not \"qvx $version\""
LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/qvx.1.gz" 2>&1 >/dev/null | grep . &&
    fail "the installed man page renders with warnings"
bash -n "$root/usr/share/bash-completion/completions/qvx" || fail "the completion script is not bash"

tree=$work/tree
mkdir -p "$tree/empty" "$tree/Папка/日本語"
printf 'hello\n' >"$tree/a.txt"
printf 'ünïcödé\n' >"$tree/Папка/日本語/ファイル.txt"
head -c 100000 "$installed" >"$tree/Папка/binary.bin"
printf 'keep\n' >"$tree/read-only.txt"
chmod a-w "$tree/read-only.txt"
touch -d '2020-02-29 12:34:56' "$tree/a.txt" "$tree/read-only.txt"
round_trip() {  # ARCHIVE [qvx a options]: pack, test, extract, compare
    local archive=$1
    shift
    "$installed" a -q "$work/$archive" "$tree/." "$@" || { fail "qvx a $archive"; return; }
    "$installed" t -q "$work/$archive" || fail "qvx t $archive"
    "$installed" x -q "$work/$archive" -o "$work/x-$archive" || fail "qvx x $archive"
    diff -r "$tree" "$work/x-$archive" || fail "$archive: the extracted tree differs"
    [ -d "$work/x-$archive/empty" ] || fail "$archive: the empty folder is missing"
    [ -w "$work/x-$archive/read-only.txt" ] && [ "$(id -u)" != 0 ] && fail "$archive: read-only.txt is writable"
    [ "$(stat -c %a "$work/x-$archive/read-only.txt")" = 444 ] || fail "$archive: read-only.txt lost its mode"
    [ "$(stat -c %Y "$work/x-$archive/a.txt")" = "$(stat -c %Y "$tree/a.txt")" ] || fail "$archive: a.txt's time"
}
round_trip tree.qvx
if grep -qxF ./usr/share/dravex/dravex-stub.exe "$work/contents"; then
    round_trip tree.exe
    "$installed" sfx "$root/usr/share/dravex/dravex-stub.exe" "$work/tree.qvx" "$work/sfx.exe" --title T ||
        fail "qvx sfx with the installed stub"
    "$installed" t -q "$work/sfx.exe" || fail "qvx t of the self-extractor from the installed stub"
fi

chmod -R u+w "$work"
if [ "$failures" -ne 0 ]; then
    echo "package: $failures failed"
    exit 1
fi
rm -rf "$work"
echo "package: all checks passed"

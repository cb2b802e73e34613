#!/usr/bin/env bash
# Builds the software corpus: what self-extractors carry (Windows programs
# and libraries, scripts, headers, documentation), taken from files every
# Debian 12 machine with the test dependencies (scripts/install-deps.sh)
# has, so that the same command gives the same files anywhere.
#
# usage: bench/software_corpus.sh DEST
#   copies the files into DEST under their own paths (usr/...), with their
#   modification times, and prints the count, the bytes and a SHA-256 over
#   every file's path and contents: two machines with the same figure have
#   the same corpus. DEST must not exist or be empty.
#
# What it takes, every list sorted by path, regular files only (no links):
#   Windows PE: the files of package libwine (wine64's libraries) in
#     /usr/lib/x86_64-linux-gnu/wine/x86_64-windows smaller than 512 KiB
#     (DLLs, programs, drivers: 428 files, 76 MB), and every file in
#     /usr/lib/x86_64-linux-gnu/wine/i386-windows if that folder exists
#   Python's standard library: the *.py and *.so files of packages
#     libpython3.11-minimal and libpython3.11-stdlib in /usr/lib/python3.11
#   C and C++ headers: the files in /usr/include of packages
#     libstdc++-12-dev libc6-dev linux-libc-dev libssl-dev nlohmann-json3-dev
#     libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev libbz2-dev
#     libdivsufsort-dev
#   documentation: the files in /usr/share/doc of packages
#     git python3.11 python3.11-minimal bzip2 openssl xz-utils zstd p7zip
#     binutils nlohmann-json3-dev libssl-dev libwine wine wine64 cmake
#     cmake-data imagemagick-6-common xvfb xserver-common libc6-dev
#     libgnutls30 gcc-mingw-w64-base libx11-dev libx11-6 osslsigncode
#     libbenchmark-dev
#     (changelogs are gzip files; xvfb's and xserver-common's are the same
#     files twice)
# Of names that differ only in case (Linux's netfilter headers), which one
# Windows folder cannot hold, the first in byte order is taken.
# About 125 MB in about 4,600 files. A package that is missing stops the
# script: the corpus would not be the same.
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 DEST" >&2
    exit 7
fi
DEST=$1
if [ -e "$DEST" ] && [ -n "$(ls -A "$DEST")" ]; then
    echo "software_corpus.sh: $DEST is not empty" >&2
    exit 2
fi
export LC_ALL=C

PE_DIR=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
PE32_DIR=/usr/lib/x86_64-linux-gnu/wine/i386-windows
PE_LIMIT=524288
PY_PACKAGES="libpython3.11-minimal libpython3.11-stdlib"
INCLUDE_PACKAGES="libstdc++-12-dev libc6-dev linux-libc-dev libssl-dev nlohmann-json3-dev libgtest-dev
    libgmock-dev libbenchmark-dev libcli11-dev libbz2-dev libdivsufsort-dev"
DOC_PACKAGES="git python3.11 python3.11-minimal bzip2 openssl xz-utils zstd p7zip binutils nlohmann-json3-dev
    libssl-dev libwine wine wine64 cmake cmake-data imagemagick-6-common xvfb xserver-common libc6-dev
    libgnutls30 gcc-mingw-w64-base libx11-dev libx11-6 osslsigncode libbenchmark-dev"

# files PACKAGE...: the regular files (not links) the packages installed.
files() {
    local p
    for p in "$@"; do
        if ! dpkg-query -L "$p" >/dev/null 2>&1; then
            echo "software_corpus.sh: package $p is not installed (scripts/install-deps.sh installs the test dependencies)" >&2
            exit 2
        fi
        dpkg-query -L "$p" | while IFS= read -r f; do
            if [ -f "$f" ] && [ ! -L "$f" ]; then printf '%s\n' "$f"; fi
        done
    done
}

list=$(mktemp)
trap 'rm -f "$list"' EXIT
{
    files libwine | grep "^$PE_DIR/" | while IFS= read -r f; do
        if [ "$(stat -c %s "$f")" -lt $PE_LIMIT ]; then printf '%s\n' "$f"; fi
    done
    if [ -d "$PE32_DIR" ]; then find "$PE32_DIR" -type f; fi
    # shellcheck disable=SC2086
    files $PY_PACKAGES | grep -E '^/usr/lib/python3\.11/.*\.(py|so)$'
    # shellcheck disable=SC2086
    files $INCLUDE_PACKAGES | grep '^/usr/include/'
    # shellcheck disable=SC2086
    files $DOC_PACKAGES | grep '^/usr/share/doc/'
} | sort -u | awk '{ folded = tolower($0) } !(folded in seen) { seen[folded] = 1; print }' >"$list"

mkdir -p "$DEST"
tar cf - --no-recursion -P -T "$list" | tar xf - -P --transform 's|^/||' -C "$DEST"

count=$(wc -l <"$list")
bytes=$(tr '\n' '\0' <"$list" | du -cb --files0-from=- | tail -1 | cut -f1)
digest=$(cd "$DEST" && sed 's|^/||' "$list" | tr '\n' '\0' | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
echo "software corpus: $count files, $bytes bytes, sha256 $digest"

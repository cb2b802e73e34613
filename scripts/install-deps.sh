#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, if missing.
# Runs apt-get only when a package is absent, so a second call is quick.
set -euo pipefail

# Where a package's user is not plain, its line says it. Besides,
# bench/software_corpus.sh reads the headers and documentation of several
# (libgmock-dev, libbenchmark-dev, git, ...).
packages=(
  build-essential cmake git unzip  # unzip: the benchmarks' corpus
  libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev libdivsufsort-dev libbz2-dev
  nlohmann-json3-dev libssl-dev python3  # python3: the command-line tests
  # the stubs (i686, x86-64) and qvx.exe (posix threads)
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  dpkg-dev man-db  # the package: dpkg-shlibdeps, dpkg-deb, man --warnings
  # the Wine tests (xvfb-run needs xauth; import takes the screenshots),
  # signed self-extractors, wrestool
  wine wine64 xvfb xauth imagemagick osslsigncode openssl icoutils
  clang libclang-rt-14-dev  # the fuzzers
  zstd xz-utils bzip2 p7zip-full gzip time  # bench/compare.sh; gzip: the manual page
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# libdivsufsort for the Windows build of qvx (qvx.exe): its Debian source
# package, unpacked into /var/cache/dravex/src (or $DRAVEX_SOURCE_CACHE) and
# built by the build for mingw-w64. Debian 12's default sources carry no
# deb-src line; one is added beside them, for the same archive and suites.
# Where it cannot be had, the build skips qvx.exe with a warning.
src_cache=${DRAVEX_SOURCE_CACHE:-/var/cache/dravex/src}
if ! ls -d "$src_cache"/libdivsufsort-*/lib >/dev/null 2>&1; then
  sudo_cmd=""
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
  if ! apt-get source --print-uris libdivsufsort >/dev/null 2>&1; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
        $sudo_cmd tee /etc/apt/sources.list.d/dravex-deb-src.sources >/dev/null
    elif [ -f /etc/apt/sources.list ]; then
      grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
        $sudo_cmd tee /etc/apt/sources.list.d/dravex-deb-src.list >/dev/null
    fi
    $sudo_cmd apt-get update -qq || true
  fi
  $sudo_cmd mkdir -p "$src_cache"
  # apt-get source unpacks as the calling user; the files stay readable.
  if ! (cd "$src_cache" && $sudo_cmd apt-get source -qq libdivsufsort >/dev/null 2>&1); then
    echo "install-deps: the source of libdivsufsort could not be fetched; qvx.exe will not be built" >&2
  fi
fi

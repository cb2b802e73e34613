#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, if missing.
# Runs apt-get only when a package is absent, so a second call is quick.
set -euo pipefail

packages=(
  build-essential cmake git pkg-config unzip
  libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev libdivsufsort-dev libbz2-dev
  nlohmann-json3-dev libssl-dev python3
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine wine64 xvfb xauth xdotool imagemagick osslsigncode openssl icoutils
  clang libclang-rt-14-dev
  zstd xz-utils bzip2 p7zip-full gzip time
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

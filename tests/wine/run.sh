#!/usr/bin/env bash
# Runs one Wine scenario of the self-extractor: builds the self-extractor it
# needs with sfx_fixture (x86-64 stub; Wine here runs 64-bit programs only),
# writes a command script for sfx_driver, runs it under Wine on a private X
# server, and checks what landed on disk.
#
#   run.sh SCENARIO BUILD_DIR STUB64 FIXTURE DRIVER [QVX]
#
# Exit code 77 means skipped (no wine or no Xvfb).
set -euo pipefail

scenario=$1
build=$2
stub=$3
fixture=$4
driver=$5
qvx=${6:-}
here=$(cd "$(dirname "$0")" && pwd)

if ! command -v wine >/dev/null || ! command -v xvfb-run >/dev/null; then
  echo "SKIP: the Wine tests need wine and xvfb-run (scripts/install-deps.sh installs them)"
  exit 77
fi

export WINEPREFIX="$build/wine-prefix"
export WINEDEBUG=-all
# No prompts to install Mono or Gecko: the tests need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
work="$build/wine-work/$scenario"
rm -rf "$work"
mkdir -p "$work"
cd "$work"

fail() {
  echo "FAIL: $*"
  exit 1
}

# Runs the driver over script.txt on a private X server. The Wine server is
# stopped afterwards: its desktop process would otherwise outlive the X server
# the next scenario does not share.
run_driver() {
  xvfb-run -a -s "-screen 0 1024x768x24" sh -c \
    'wine "$1" script.txt; rc=$?; wineserver -k 2>/dev/null; exit $rc' sh "$driver"
}

# A self-extractor from the fixture; arguments after the name go to it.
make_sfx() {
  local name=$1
  shift
  "$fixture" "$stub" "$name" "$@" >/dev/null
}

# Checks that two trees hold the same files with the same contents.
same_tree() {
  diff -r "$1" "$2" >/dev/null || fail "$2 differs from $1: $(diff -rq "$1" "$2" | head -5)"
}

source "$here/scenarios.sh"

if ! declare -F "scenario_$scenario" >/dev/null; then
  fail "unknown scenario $scenario"
fi
"scenario_$scenario"
echo "PASS: $scenario"

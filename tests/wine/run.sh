#!/usr/bin/env bash
# Runs one Wine scenario of the self-extractor: builds the self-extractor it
# needs with sfx_fixture, writes a command script for sfx_driver, runs it
# under Wine, and checks what landed on disk.
#
#   run.sh SCENARIO
#
# Taken from the environment (tests/scripts/wine.cmake sets them):
#   DRAVEX_BUILD  the build folder (Wine prefix, session, work folders)
#   DRAVEX_WINE_ARCH  64: the x86-64 stub under the system's Wine;
#                 32: the shipped PE32 stub under 32-bit Wine run by qemu
#                 (scripts/setup-pe32-wine.sh; see wine-env.sh)
#   DRAVEX_WINE_STUB  the stub under test
#   SFX_FIXTURE, SFX_DRIVER, SFX_MARKER, SFX_BACKEND_TEST  the helper programs
# Exit code 77 means skipped (no wine, no Xvfb, or no 32-bit Wine here).
set -euo pipefail

scenario=$1
build=$DRAVEX_BUILD
stub=$DRAVEX_WINE_STUB
fixture=$SFX_FIXTURE
driver=$SFX_DRIVER
marker=$SFX_MARKER
here=$(cd "$(dirname "$0")" && pwd)

if ! command -v wine >/dev/null || ! command -v Xvfb >/dev/null; then
  echo "SKIP: the Wine tests need wine and Xvfb (scripts/install-deps.sh installs them)"
  exit 77
fi
source "$here/wine-env.sh"
if [ "$wine_arch" = 32 ] && ! pe32_wine_ready; then
  echo "SKIP: no 32-bit Wine here for the PE32 stub (scripts/setup-pe32-wine.sh sets it up; it needs root)"
  exit 77
fi

export WINEDEBUG=-all
# No prompts to install Mono or Gecko: the tests need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
# DOS times are local: a zone away from UTC catches a missing conversion.
# One without summer time, because LocalFileTimeToFileTime applies today's
# offset to every date, as Windows does.
export TZ=Asia/Tokyo
[ -e /usr/share/zoneinfo/Asia/Tokyo ] || export TZ=UTC
screenshots="$build/wine-screenshots$wine_suffix"
mkdir -p "$screenshots"
work="$build/wine-work$wine_suffix/$scenario"
rm -rf "$work"
mkdir -p "$work"
cd "$work"

fail() {
  echo "FAIL: $*"
  exit 1
}

# The Windows form of a path on the host (Wine's Z: drive is /).
winpath() {
  local p
  p=$(realpath -m "$1")
  echo "Z:${p//\//\\}"
}

# The shared session, when there is one: its X server is alive, and its
# Wine server is the persistent one (restarted so, should it have ended: a
# server that the next program starts on its own would make its desktop
# without the display and lasts only seconds). One quiet program follows:
# should the server be new, Wine's own services start with it and outlive
# this scenario, and they must not hold its output open (ctest waits for
# that to close, and times the scenario out).
in_session=
if [ -s "$session.display" ] && kill -0 "$(cat "$session.pid" 2>/dev/null)" 2>/dev/null; then
  in_session=1
  export DISPLAY=":$(cat "$session.display")"
  "$wineserver" -p </dev/null >/dev/null 2>&1 || true
  "$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true
elif [ -e "$session.display" ]; then
  echo "note: the Wine session's X server is gone; this scenario starts its own"
fi

# Runs a Windows program, in the shared session when there is one.
run_wine() {
  if [ -n "$in_session" ]; then
    "$wine" "$@"
  else
    xvfb-run -a -s "-screen 0 1024x768x24" sh -c \
      'w=$1; shift; "$0" "$@"; rc=$?; "$w" -k 2>/dev/null; exit $rc' "$wine" "$wineserver" "$@"
  fi
}

# Runs the driver over script.txt.
run_driver() {
  run_wine "$driver" script.txt
}

# A self-extractor from the fixture; arguments after the name go to it.
make_sfx() {
  local name=$1
  shift
  "$fixture" "$stub" "$name" "$@" >/dev/null
}

# The screenshot command for a script: the whole X screen into the build
# folder with ImageMagick's import (skipped when absent). Wine starts a Unix
# program named through its Z: drive and passes the arguments unchanged.
screenshot_line() {
  local import
  import=$(command -v import || true)
  if [ -n "$import" ]; then
    echo "sleep 700"
    echo "unix Z:${import//\//\\} -window root $screenshots/$1"
  fi
}

# Sets the screen resolution Wine gives the programs started after it (96 is
# the default).
set_dpi() {
  local key
  for key in 'HKCU\Control Panel\Desktop' 'HKCC\Software\Fonts'; do
    run_wine reg add "$key" /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
  done
  # One program through the server after the change, so that the next one
  # does not start while Wine is still taking it in.
  run_wine cmd /c exit </dev/null >/dev/null 2>&1
}

# Checks that two trees hold the same files with the same contents.
same_tree() {
  diff -r "$1" "$2" >/dev/null || fail "$2 differs from $1: $(diff -rq "$1" "$2" 2>&1 | head -5)"
}

# Modification times agree to the two seconds a DOS time holds.
same_time() {
  local a b
  a=$(stat -c %Y "$1")
  b=$(stat -c %Y "$2")
  [ $((a - a % 2)) -eq "$b" ] || fail "$2 has time $b, expected $((a - a % 2)) (from $1)"
}

wait_for_file() {
  for _ in $(seq 100); do
    [ -e "$1" ] && return 0
    sleep 0.1
  done
  fail "$1 did not appear"
}

source "$here/scenarios.sh"

if ! declare -F "scenario_$scenario" >/dev/null; then
  fail "unknown scenario $scenario"
fi
"scenario_$scenario"
echo "PASS: $scenario"

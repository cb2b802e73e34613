#!/usr/bin/env bash
# Starts or stops the X server and the Wine server that the Wine scenarios
# share. Starting Wine costs about ten seconds; with one persistent server for
# all scenarios each of them pays about one.
#
#   session.sh start|stop BUILD_DIR
#
# DRAVEX_WINE_ARCH=32 does the same for the PE32 stub's 32-bit Wine, and
# first sets that Wine up (scripts/setup-pe32-wine.sh; cached, so only the
# first run on a machine pays for it).
#
# The state lives in BUILD_DIR/wine-session.* (wine32-session.*): the display
# number and the X server's process id. run.sh falls back to a private
# xvfb-run when there is no session (a scenario run on its own).
set -u
action=$1
build=$2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine-env.sh"
state=$session

stop() {
  if [ -f "$state.display" ]; then
    DISPLAY=":$(cat "$state.display")" "$wineserver" -k 2>/dev/null
  fi
  if [ -f "$state.pid" ]; then
    kill "$(cat "$state.pid")" 2>/dev/null
  fi
  rm -f "$state.display" "$state.pid"
}

case "$action" in
start)
  if ! command -v wine >/dev/null || ! command -v Xvfb >/dev/null; then
    echo "SKIP: the Wine tests need wine and Xvfb (scripts/install-deps.sh installs them)"
    exit 77
  fi
  if [ "$wine_arch" = 32 ]; then
    started=$(date +%s)
    bash "$here/../../scripts/setup-pe32-wine.sh" "$pe32_root" || exit $?
    echo "32-bit Wine ready after $(( $(date +%s) - started )) s"
  fi
  stop
  # Xvfb picks a free display and writes its number once it accepts clients.
  setsid Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$state.display" </dev/null >/dev/null 2>&1 &
  echo $! > "$state.pid"
  for _ in $(seq 100); do
    [ -s "$state.display" ] && break
    sleep 0.1
  done
  if [ ! -s "$state.display" ]; then
    echo "FAIL: Xvfb did not start"
    stop
    exit 1
  fi
  export DISPLAY=":$(cat "$state.display")"
  # A persistent server; the first run creates the prefix (slow, once).
  "$wineserver" -p </dev/null >/dev/null 2>&1
  "$wine" wineboot -i </dev/null >/dev/null 2>&1
  # Making a new prefix may restart the server; the one now running stays.
  "$wineserver" -p </dev/null >/dev/null 2>&1
  "$wine" cmd /c exit </dev/null >/dev/null 2>&1
  if [ "$wine_arch" = 32 ] && [ ! -e "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
    echo "FAIL: the prefix $WINEPREFIX has no 32-bit half"
    stop
    exit 1
  fi
  echo "Wine session on display $DISPLAY, prefix $WINEPREFIX"
  ;;
stop)
  stop
  ;;
*)
  echo "usage: session.sh start|stop BUILD_DIR"
  exit 2
  ;;
esac

#!/usr/bin/env bash
# Runs a command with one Wine server kept alive in $WINEPREFIX for all of
# it: without one every qvx.exe call starts and stops its own (seconds
# each, most of the table's time).
mkdir -p "$WINEPREFIX"
wineserver -p
trap 'wineserver -k 2>/dev/null' EXIT
"$@"

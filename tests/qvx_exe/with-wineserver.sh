#!/usr/bin/env bash
# Runs a command with one Wine server kept alive in $WINEPREFIX for all of
# it: without one every qvx.exe call starts and stops its own (seconds
# each, most of the table's time).
mkdir -p "$WINEPREFIX"
wineserver -p
trap 'wineserver -k 2>/dev/null' EXIT
# The prefix is made (or brought up to date) here: the services this starts
# live as long as the server, and would hold a test's output open if a
# test's first call started them.
wine wineboot </dev/null >/dev/null 2>&1
"$@"

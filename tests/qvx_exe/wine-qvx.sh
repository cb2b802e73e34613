#!/usr/bin/env bash
# Runs qvx.exe under wine64 as if it were qvx, for the command-line table:
# QVX_EXE names it; WINEPREFIX is set by the test.
exec wine "$QVX_EXE" "$@"

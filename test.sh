#!/usr/bin/env bash
# Runs every test: installs what is missing, builds (release, with both
# stubs), runs the unit, command-line, conformance and Wine tests, then the
# host tests again under AddressSanitizer and UBSan, then a short fuzzing run.
#   FUZZ_SECONDS=N  seconds per fuzz target (default 20; 0 skips fuzzing)
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/install-deps.sh

jobs=$(nproc)
start=$(date +%s)

echo "== release build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== AddressSanitizer + UBSan build and tests"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DDRAVEX_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" -LE wine

if [ "${FUZZ_SECONDS:-20}" != 0 ] && [ -x scripts/fuzz.sh ]; then
  echo "== fuzzing (${FUZZ_SECONDS:-20} s per target)"
  scripts/fuzz.sh "${FUZZ_SECONDS:-20}"
fi

echo "== all tests passed in $(( $(date +%s) - start )) s"

#!/usr/bin/env bash
# Runs every test: installs what is missing, builds (release, with both
# stubs), runs the unit, command-line, conformance and Wine tests, then the
# host tests again under AddressSanitizer and UBSan, the two-threads
# extraction test under ThreadSanitizer, then a short fuzzing run.
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
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DDRAVEX_SANITIZE=ON -DDRAVEX_BUILD_QVX_EXE=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" -LE wine

echo "== ThreadSanitizer: two extractions at once in one process"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAVEX_TSAN=ON -DDRAVEX_BUILD_STUB=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target concurrent_extraction_test
tsan_test=build-tsan/tests/concurrent_extraction_test
if ! tsan_out=$("$tsan_test" 2>&1); then
  # This ThreadSanitizer cannot map its shadow memory under a kernel that
  # randomises more address bits; without randomisation it can.
  if grep -q "unexpected memory mapping" <<<"$tsan_out"; then
    setarch "$(uname -m)" -R "$tsan_test"
  else
    echo "$tsan_out"
    exit 1
  fi
fi

if [ "${FUZZ_SECONDS:-20}" != 0 ] && [ -x scripts/fuzz.sh ]; then
  echo "== fuzzing (${FUZZ_SECONDS:-20} s per target)"
  scripts/fuzz.sh "${FUZZ_SECONDS:-20}"
fi

echo "== all tests passed in $(( $(date +%s) - start )) s"

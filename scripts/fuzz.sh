#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for a while.
#
#   scripts/fuzz.sh [seconds] [name...]
#
# seconds defaults to 30 per target; names are the fuzz/fuzz_<name>.cpp
# stems (default: all), or <name>_stub_form for a target's build against the
# stub's form of the codec (fuzz/CMakeLists.txt lists those). Each target starts from its committed seeds in
# fuzz/seeds/<name>/ and grows a working corpus in the build directory, so
# the committed seeds stay as they are. Crashes are left in the build
# directory as crash-* files and make the script fail.
# Environment: BUILD_DIR (default build-fuzz in the checkout), JOBS (default 2),
# MERGE=1 to add the inputs of the grown corpus that reach new code to the
# committed seeds afterwards (a campaign's keepers).
set -eu

seconds=${1:-30}
[ $# -gt 0 ] && shift
src=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$src/build-fuzz}
jobs=${JOBS:-2}

if [ $# -gt 0 ]; then
    names="$*"
else
    names=$(cd "$src/fuzz" && ls fuzz_*.cpp | sed -e 's/^fuzz_//' -e 's/\.cpp$//')
fi

cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DDRAVEX_FUZZ=ON -DDRAVEX_BUILD_STUB=OFF >/dev/null
targets=""
for name in $names; do
    targets="$targets fuzz_${name}_fuzzer"
done
# shellcheck disable=SC2086
cmake --build "$build" -j "$jobs" --target $targets

status=0
for name in $names; do
    corpus="$build/corpus/$name"
    mkdir -p "$corpus"
    echo "== fuzz_$name: ${seconds}s"
    # A target's stub form (<name>_stub_form) starts from the same seeds.
    seeds="$src/fuzz/seeds/${name%_stub_form}"
    [ -d "$seeds" ] || seeds=""
    # shellcheck disable=SC2086
    if ! (cd "$build" && "./fuzz/fuzz_${name}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
            "$corpus" $seeds); then
        echo "fuzz_$name: FAILED (see $build/crash-*)"
        status=1
    elif [ "${MERGE:-0}" = 1 ] && [ -n "$seeds" ]; then
        (cd "$build" && "./fuzz/fuzz_${name}_fuzzer" -merge=1 "$seeds" "$corpus" 2>&1 | tail -1)
    fi
done
exit $status

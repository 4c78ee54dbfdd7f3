#!/usr/bin/env bash
# Builds Quillon and runs the whole test suite: the normal build with warnings as errors,
# the sanitizer build, and a short run of every fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test

export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
jobs=$(nproc)

echo "== build and test (warnings are errors)"
cmake --preset ci >/dev/null
cmake --build --preset ci -j "$jobs"
ctest --preset ci

echo "== build and test with address and undefined-behaviour sanitizers"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --preset asan

echo "== fuzzers, briefly"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
for fuzzer in build-fuzz/fuzz/fuzz_*; do
    [ -x "$fuzzer" ] || continue
    corpus=fuzz/corpus/$(basename "$fuzzer" | sed 's/^fuzz_//')
    mkdir -p "build-fuzz/corpus-$(basename "$fuzzer")"
    echo "-- $(basename "$fuzzer")"
    "$fuzzer" -max_total_time="${QUILLON_FUZZ_SECONDS:-20}" -print_final_stats=0 \
        "build-fuzz/corpus-$(basename "$fuzzer")" $( [ -d "$corpus" ] && echo "$corpus" ) 2>&1 | tail -n 2
done
echo "all test stages passed"

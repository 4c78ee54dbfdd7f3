#!/usr/bin/env bash
# Builds Quillon and runs the whole test suite: the normal build with warnings as errors,
# the sanitizer build, and a short run of every fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test

export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
jobs=$(nproc)
passed=0
failed=0

# Runs ctest and adds its counts to the totals printed at the end.
run_ctest() {
    local log
    log=$(mktemp)
    local status=0
    ctest "$@" 2>&1 | tee "$log" || status=$?
    local line
    line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    rm -f "$log"
    if [[ $line =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
        failed=$((failed + BASH_REMATCH[1]))
        passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
    fi
    if [ "$status" -ne 0 ]; then
        echo "tests: $passed passed, $((failed > 0 ? failed : 1)) failed"
        exit "$status"
    fi
}

echo "== build and test (warnings are errors)"
cmake --preset ci >/dev/null
cmake --build --preset ci -j "$jobs"
run_ctest --preset ci

echo "== build and test with address and undefined-behaviour sanitizers"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
run_ctest --preset asan

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
echo "tests: $passed passed, $failed failed"

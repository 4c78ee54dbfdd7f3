#!/usr/bin/env bash
# Builds Quillon and runs the whole test suite: the checks of the scripts, the normal build
# with warnings as errors, the quick start on a fresh Debian 12 and the checks of the Debian
# package built there, the sanitizer build, a short run of every fuzzer, and the Windows build
# with its tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test

export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
jobs=$(nproc)
passed=0
failed=0
skipped=0

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

# check NAME COMMAND...: one more test, passed when COMMAND succeeds; its output is shown
# only when it fails.
check() {
    local name=$1 out
    shift
    if out=$("$@" 2>&1); then
        passed=$((passed + 1))
        echo "ok: $name"
    else
        failed=$((failed + 1))
        echo "FAILED: $name"
        printf '%s\n' "$out"
    fi
}
# Fails when the command prints anything: the tools below report findings without failing.
silent() {
    local out
    out=$("$@" 2>&1) || { printf '%s\n' "$out"; return 1; }
    [ -z "$out" ] || { printf '%s\n' "$out"; return 1; }
}

echo "== scripts (shellcheck)"
mapfile -t shell_scripts < <(find scripts bench tests cmake -name '*.sh' | sort; echo packaging/completion/quillon.bash)
check "shellcheck on ${#shell_scripts[@]} scripts" shellcheck "${shell_scripts[@]}"

echo "== build and test (warnings are errors)"
cmake --preset ci >/dev/null
cmake --build --preset ci -j "$jobs"
run_ctest --preset ci

echo "== the quick start on a fresh Debian 12, and the package installed there"
rm -rf build-fresh
if [ "$(id -u)" -eq 0 ]; then
    # Its steps are shown as they go: it takes minutes.
    if scripts/fresh-machine-check.sh build-fresh; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
    fi
    mapfile -t debs < <(find build-fresh -maxdepth 1 -name 'quillon*.deb' 2>/dev/null | sort)
else
    echo "skipped: the fresh-machine check and the package checks need root"
    skipped=$((skipped + 7))
    debs=()
fi
if [ "${#debs[@]}" -eq 2 ]; then
    echo "== the packages $(basename -a "${debs[@]}" | tr '\n' ' ')"
    unpacked=build-fresh/root
    for deb in "${debs[@]}"; do
        dpkg-deb -x "$deb" "$unpacked"
    done
    # What lintian may keep finding, with the reason, is in the packages' own overrides
    # (packaging/lintian-overrides).
    check "lintian" silent lintian --allow-root --fail-on error,warning,info --display-info \
        "${debs[@]}"
    # Control-flow protection is no feature of dpkg-buildflags on Debian 12; all the others
    # (PIE, stack protector, _FORTIFY_SOURCE, RELRO, BIND_NOW) must be there.
    check "hardening-check" hardening-check --quiet --nocfprotection \
        "$unpacked/usr/bin/quillon" "$unpacked/usr/bin/quillon-cli" "$unpacked/usr/bin/quillon-board"
    lint_pages() {
        local page
        for page in "$unpacked"/usr/share/man/man1/*.1.gz; do
            gzip -dc "$page" | mandoc -Tlint -W style || return
        done
    }
    check "mandoc -Tlint" silent lint_pages
    # appstreamcli passes a file with info and pedantic findings; none may remain.
    validate_metainfo() {
        local out status=0
        out=$(appstreamcli validate --pedantic --no-net --explain \
            "$unpacked"/usr/share/metainfo/*.metainfo.xml 2>&1) || status=$?
        if [ "$status" -ne 0 ] || grep -qE '^[EWIP]: ' <<<"$out"; then
            printf '%s\n' "$out"
            return 1
        fi
    }
    check "appstreamcli validate" validate_metainfo
    check "desktop-file-validate" silent desktop-file-validate \
        "$unpacked"/usr/share/applications/*.desktop
    # The file types of the desktop file are all known: shared-mime-info's, or the package's own
    # definition, which update-mime-database reads without a complaint.
    validate_mime_types() {
        local db type status=0 out
        db=$(mktemp -d)
        mkdir "$db/packages"
        cp /usr/share/mime/packages/freedesktop.org.xml "$unpacked"/usr/share/mime/packages/*.xml \
            "$db/packages/"
        out=$(update-mime-database -V "$db" 2>&1 | grep -iE 'warning|error|invalid') && status=1
        [ -z "$out" ] || printf '%s\n' "$out"
        for type in $(sed -n 's/^MimeType=//p' "$unpacked"/usr/share/applications/*.desktop |
                      tr ';' ' '); do
            grep -qx "$type" "$db/types" || { echo "unknown type $type"; status=1; }
        done
        rm -rf "$db"
        return "$status"
    }
    check "the desktop file's MIME types" validate_mime_types
elif [ "$(id -u)" -eq 0 ]; then
    echo "FAILED: the two packages were not built, so none is checked"
    failed=$((failed + 6))
fi

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
    corpora=("build-fuzz/corpus-$(basename "$fuzzer")")
    [ -d "$corpus" ] && corpora+=("$corpus")
    "$fuzzer" -max_total_time="${QUILLON_FUZZ_SECONDS:-20}" -print_final_stats=0 \
        "${corpora[@]}" 2>&1 | tail -n 2
done
echo "== Windows: the cross build with mingw-w64, and its tests under Wine"
scripts/install-deps.sh windows
# Qt for Windows is built once from Debian's own source package into a cache outside the
# tree (about 14 minutes on two cores), and reused after that; libusb likewise, in seconds.
scripts/build-windows-qt.sh "-j$jobs"
scripts/build-windows-libusb.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
run_ctest --preset windows
# What a Windows user installs: the zip and the installer, tried under Wine.
windows_installer() {
    local files version
    mapfile -t files < <(scripts/package-windows.sh | tail -n 2)
    version=$(sed -n 's/^project(Quillon VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
    sh tests/windows/installer-test.sh "$PWD/cmake/wine-run.sh" "$PWD/build-windows/wine" \
        "${files[0]}" "${files[1]}" "$version"
}
check "the Windows zip and installer under Wine" windows_installer

summary="tests: $passed passed, $failed failed"
[ "$skipped" -eq 0 ] || summary+=", $skipped skipped"
if [ "$failed" -ne 0 ]; then
    echo "$summary"
    exit 1
fi
echo "all test stages passed"
echo "$summary"

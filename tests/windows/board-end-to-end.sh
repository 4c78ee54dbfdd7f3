#!/bin/sh
# A Quillon program (quillon-cli.exe, or quillon.exe with --headless) against quillon-board.exe,
# both under Wine, over the named-pipe registry: the exit codes of a send, a board fault, the
# old bootloader, a missing file and a Ctrl-C; the bytes the board received; the board's
# directory gone after Ctrl-C.
# Usage: board-end-to-end.sh WINE_RUN WINEPREFIX DLL_DIRS QUILLON BOARD FIRMWARE
#   DLL_DIRS  where QUILLON finds its DLLs (Qt's for quillon.exe), as wine-run.sh takes them
set -u
run=$1
prefix=$2
dll_dirs=$3
quillon=$4
board=$5
firmware=$6
work=$(mktemp -d /tmp/quillon-win-e2e-XXXXXX)
board_pid=
failures=0

fail() {
    printf 'FAIL: %s\n' "$*"
    failures=$((failures + 1))
}

# Z: is the Unix root under Wine.
winpath() {
    printf 'Z:%s' "$1" | sed 's|/|\\|g'
}

wine_run() {
    "$run" "$prefix" "$dll_dirs" "$@"
}

# Ctrl-C (SIGINT reaches a Wine console program as CTRL_C_EVENT): the board detaches itself.
stop_board() {
    [ -n "$board_pid" ] || return 0
    kill -INT "$board_pid" 2>/dev/null
    tries=0
    while kill -0 "$board_pid" 2>/dev/null && [ "$tries" -lt 300 ]; do
        tries=$((tries + 1))
        sleep 0.1
    done
    if [ "$tries" -ge 300 ]; then
        fail "$case: the board did not end on Ctrl-C"
        kill -KILL "$board_pid" 2>/dev/null
    fi
    wait "$board_pid"
    rc=$?
    board_pid=
    [ "$rc" -eq 0 ] || fail "$case: the board ended with $rc after Ctrl-C"
    [ -z "$(ls -A "$registry")" ] || fail "$case: the board left $(ls -A "$registry") behind"
}

cleanup() {
    stop_board
    if [ "$failures" -eq 0 ]; then
        rm -rf "$work"
    else
        echo "logs kept in $work"
    fi
}
trap cleanup EXIT

# start_board CASE [BOARD OPTIONS...]: a board of its own in a registry of its own.
start_board() {
    case=$1
    shift
    registry="$work/${registry_name:-$case}" # a registry of its own unless named
    log="$work/$case.log"
    mkdir -p "$registry"
    QUILLON_BOARD_DIR=$(winpath "$registry")
    export QUILLON_BOARD_DIR
    # In the background of a script SIGINT would be ignored, and so would Ctrl-C.
    env --default-signal=INT "$run" "$prefix" "" "$board" --log "$(winpath "$log")" "$@" \
        >"$work/$case.out" 2>&1 &
    board_pid=$!
    tries=0
    until grep -qs '^attached' "$work/$case.out"; do
        tries=$((tries + 1))
        if [ "$tries" -gt 600 ] || ! kill -0 "$board_pid" 2>/dev/null; then
            fail "$case: the board did not attach: $(cat "$work/$case.out")"
            board_pid=
            return 1
        fi
        sleep 0.1
    done
}

# run_case CASE EXPECTED_EXIT FILE [BOARD OPTIONS...]
run_case() {
    name=$1
    expected=$2
    file=$3
    shift 3
    start_board "$name" "$@" || return
    wine_run "$quillon" --headless "$(winpath "$file")" >"$work/$name.run" 2>&1
    rc=$?
    [ "$rc" -eq "$expected" ] ||
        fail "$name: ended with $rc, not $expected: $(cat "$work/$name.run")"
    stop_board
}

hex() {
    od -An -v -tx1 "$1" | tr -d ' \n'
}

# What crossed from the host to the board, all sessions together, as lower-case hex.
received() {
    sed -n 's/^plinth0 rx //p' "$work/$1.log" | tr -d '\n'
}

export QUILLON_TIMEOUT_MS=3000

# A send: two version polls, then 's', the length (little-endian), the file's bytes, 'x'.
# The board saves what it received, written whole.
mkdir "$work/saved"
run_case send 0 "$firmware" --save-dir "$(winpath "$work/saved")"
cmp -s "$firmware" "$work/saved/plinth0.bin" || fail "send: the board saved other bytes than the file's"
size=$(wc -c <"$firmware")
length=$(printf '%02x%02x%02x%02x' $((size & 255)) $((size >> 8 & 255)) \
    $((size >> 16 & 255)) $((size >> 24 & 255)))
[ "$(received send)" = "767673${length}$(hex "$firmware")78" ] ||
    fail "send: the board received other bytes than the file's (log: $(head -c 300 "$work/send.log"))"

run_case missing-file 25 "$work/missing.bin"
[ -z "$(received missing-file)" ] || fail "missing-file: bytes reached the board"
run_case old-bootloader 47 "$firmware" --banner "quillon V1.0c"
run_case board-fault 39 "$firmware" --wrong-reply s1

# Ctrl-C during a send the board never answers, with no time-out: the run ends at once with 2
# and says so. Wine turns SIGINT into Ctrl-C only for console programs; the window program
# gets its console when it starts and is not reached that way here.
case $quillon in
*quillon-cli.exe)
    start_board stopped --no-reply s3
    QUILLON_TIMEOUT_MS=0 env --default-signal=INT "$run" "$prefix" "$dll_dirs" "$quillon" \
        --headless "$(winpath "$firmware")" >"$work/stopped.run" 2>&1 &
    run_pid=$!
    tries=0
    until grep -qs '^plinth0 rx 73' "$work/stopped.log" || [ "$tries" -gt 100 ]; do
        tries=$((tries + 1))
        sleep 0.1
    done
    kill -INT "$run_pid"
    tries=0
    while kill -0 "$run_pid" 2>/dev/null && [ "$tries" -lt 50 ]; do
        tries=$((tries + 1))
        sleep 0.1
    done
    if kill -0 "$run_pid" 2>/dev/null; then
        fail "stopped: Ctrl-C did not end the run within 5 s"
        kill -KILL "$run_pid"
    fi
    wait "$run_pid"
    rc=$?
    [ "$rc" -eq 2 ] || fail "stopped: Ctrl-C ended the run with $rc, not 2: $(cat "$work/stopped.run")"
    grep -q '^Stopped while sending' "$work/stopped.run" ||
        fail "stopped: the run did not say it was stopped: $(cat "$work/stopped.run")"
    stop_board
    ;;
esac

# A board killed without a chance to detach leaves its directory; the next board of that name
# takes its place and serves.
start_board killed && kill -KILL "$board_pid" && wait "$board_pid" 2>/dev/null
board_pid=
[ -d "$work/killed/plinth0" ] || fail "killed: no directory left behind to replace"
registry_name=killed
run_case replacement 0 "$firmware"
grep -q '^plinth0 attached' "$work/replacement.log" || fail "replacement: the board did not attach"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"

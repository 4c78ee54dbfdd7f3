#!/bin/sh
# Measures --all: the wall time of sending one image to N virtual boards at once, against the
# time one board takes, in the same run (board program started once, boards already attached).
# Each figure is the median of RUNS runs.
# Usage: bench/tray.sh [BUILD_DIR] [BOARDS] [MIB] [RUNS]   (default: build, 8 boards, 16 MiB, 5)
set -eu

BUILD_DIR=${1:-build}
BOARDS=${2:-8}
MIB=${3:-16}
RUNS=${4:-5}
QUILLON="$BUILD_DIR/quillon"
BOARD="$BUILD_DIR/quillon-board"
for program in "$QUILLON" "$BOARD"; do
    if [ ! -x "$program" ]; then
        echo "$program is missing: build it first (cmake --build $BUILD_DIR)" >&2
        exit 1
    fi
done

WORK=$(mktemp -d /tmp/quillon-tray-XXXXXX)
BOARD_PID=
cleanup() {
    if [ -n "$BOARD_PID" ]; then
        kill "$BOARD_PID" 2>/dev/null || true
        wait "$BOARD_PID" 2>/dev/null || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

export QUILLON_BOARD_DIR="$WORK/boards"
set --
i=0
while [ "$i" -lt "$BOARDS" ]; do
    set -- "$@" --board "tray$i"
    i=$((i + 1))
done
"$BOARD" "$@" >"$WORK/board.log" 2>&1 &
BOARD_PID=$!
tries=0
until [ "$(grep -c attached "$WORK/board.log" 2>/dev/null)" -ge "$BOARDS" ] || [ "$tries" -ge 100 ]; do
    sleep 0.1
    tries=$((tries + 1))
done
head -c $((MIB << 20)) /dev/urandom >"$WORK/image.bin"

# Seconds of one command, to the millisecond; fails the benchmark when the command fails.
seconds() {
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
    end=$(date +%s%N)
    echo $(((end - start) / 1000000))
}
median() {
    sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

: >"$WORK/one"
: >"$WORK/all"
run=0
while [ "$run" -lt "$RUNS" ]; do
    seconds "$QUILLON" --headless --wait 5 --device "$QUILLON_BOARD_DIR/tray0" "$WORK/image.bin" >>"$WORK/one"
    seconds "$QUILLON" --headless --wait 5 --all --count "$BOARDS" "$WORK/image.bin" >>"$WORK/all"
    run=$((run + 1))
done
one=$(median <"$WORK/one")
all=$(median <"$WORK/all")
echo "one board, $MIB MiB: median $one ms ($(tr '\n' ' ' <"$WORK/one"))"
echo "$BOARDS boards at once, $MIB MiB each: median $all ms ($(tr '\n' ' ' <"$WORK/all"))"
awk -v a="$all" -v o="$one" 'BEGIN { printf "ratio: %.2f (the goal is at most 1.5)\n", a / o }'

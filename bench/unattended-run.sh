#!/bin/sh
# Measures the console-only unattended run:
#   1. wall time of a run that sends 100 KiB to a virtual board that is already attached
#      (the first poll comes 100 ms after start, so the run's own work is the rest);
#   2. CPU used per second of waiting while no board is attached;
#   3. peak memory (maximum resident set) of the 100 KiB run and of a 10 MiB run.
# Usage: bench/unattended-run.sh [BUILD_DIR] [RUNS]   (default: build, 10 runs)
set -eu

BUILD_DIR=${1:-build}
RUNS=${2:-10}
QUILLON="$BUILD_DIR/quillon"
BOARD="$BUILD_DIR/quillon-board"

if [ ! -x /usr/bin/time ]; then
    if [ "$(id -u)" = 0 ]; then
        apt-get install -y --no-install-recommends time >/dev/null
    else
        echo "GNU time is missing: sudo apt-get install time" >&2
        exit 1
    fi
fi
for program in "$QUILLON" "$BOARD"; do
    if [ ! -x "$program" ]; then
        echo "$program is missing: build it first (cmake --build $BUILD_DIR)" >&2
        exit 1
    fi
done

WORK=$(mktemp -d /tmp/quillon-bench-XXXXXX)
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
mkdir -m 700 "$QUILLON_BOARD_DIR"
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
head -c 102400 /dev/urandom >"$WORK/100k.bin"
head -c 10485760 /dev/urandom >"$WORK/10m.bin"

# One run under GNU time; prints "wall_seconds cpu_seconds max_rss_kib exit_code".
measure() {
    /usr/bin/time -f '%e %U %S %M' -o "$WORK/time.out" "$QUILLON" --headless "$@" \
        >/dev/null 2>"$WORK/run.err" && code=0 || code=$?
    # GNU time puts a line about a non-zero exit first; the figures are on the last line.
    awk -v code="$code" 'END { printf "%s %.2f %s %s\n", $1, $2 + $3, $4, code }' "$WORK/time.out"
}

echo "Waiting for a board: CPU per second of waiting (5 s, no board attached)"
measure --wait 5 "$WORK/100k.bin" >"$WORK/measured"
read -r wall cpu rss code <"$WORK/measured"
awk -v wall="$wall" -v cpu="$cpu" -v rss="$rss" -v code="$code" 'BEGIN {
    printf "  wall %.2f s, CPU %.3f s, %.2f%% of one core, peak %d KiB, exit %d\n",
           wall, cpu, 100 * cpu / wall, rss, code }'

"$BOARD" --log /dev/null >"$WORK/board.out" &
BOARD_PID=$!
while ! grep -q attached "$WORK/board.out" 2>/dev/null; do sleep 0.05; done

# Wall times in milliseconds of RUNS runs of the program with the given arguments.
wall_times() {
    i=0
    : >"$WORK/runs"
    while [ "$i" -lt "$RUNS" ]; do
        start=$(date +%s%N)
        "$QUILLON" "$@" >/dev/null 2>&1 || { echo "run failed: $*" >&2; exit 1; }
        end=$(date +%s%N)
        echo $(((end - start) / 1000000)) >>"$WORK/runs"
        i=$((i + 1))
    done
    sort -n "$WORK/runs" | awk '{ v[NR] = $1 } END {
        printf "  wall ms: min %d, median %d, max %d\n", v[1], v[int((NR + 1) / 2)], v[NR] }'
}

echo "Start-up and exit alone: --version ($RUNS runs)"
wall_times --version
echo "Sending 100 KiB to an attached board ($RUNS runs; the first poll is 100 ms after start)"
wall_times --headless "$WORK/100k.bin"

for file in 100k.bin 10m.bin; do
    measure "$WORK/$file" >"$WORK/measured"
    read -r wall cpu rss code <"$WORK/measured"
    size=$(($(stat -c %s "$WORK/$file") / 1024))
    echo "Peak memory sending $file ($size KiB): $rss KiB (wall $wall s, CPU $cpu s, exit $code)"
done

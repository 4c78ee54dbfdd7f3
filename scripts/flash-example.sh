#!/usr/bin/env bash
# Builds the Quillon programs, attaches a virtual Plinth board and flashes the example image
# onto it, then checks that the board holds exactly the image's bytes.
# Usage: scripts/flash-example.sh [IMAGE]
set -euo pipefail
cd "$(dirname "$0")/.."
image=${1:-examples/blinky.bin}
scripts/install-deps.sh build

# Only the programs (no tests: their packages come with scripts/test.sh), one line a build
# step; the full log is shown only when the build fails.
log=$(mktemp)
build() {
    echo "Configuring the build in build/ ..."
    cmake --preset app >>"$log" 2>&1 || return
    cmake --build --preset app -j "$(nproc)" 2>&1 | tee -a "$log" | show_steps
}
# Ninja's "[N/TOTAL] what" lines as a percentage, each as soon as it comes.
show_steps() {
    local line
    while IFS= read -r line; do
        if [[ $line =~ ^\[([0-9]+)/([0-9]+)\]\ (.*)$ ]]; then
            printf '[%3d%%] %s\n' $((100 * BASH_REMATCH[1] / BASH_REMATCH[2])) "${BASH_REMATCH[3]}"
        fi
    done
}
if ! build; then
    cat "$log" >&2
    echo "The build failed; the lines above say why." >&2
    rm -f "$log"
    exit 1
fi
rm -f "$log"

work=$(mktemp -d)
board_pid=
cleanup() {
    [ -n "$board_pid" ] && kill "$board_pid" 2>/dev/null && wait "$board_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
export QUILLON_BOARD_DIR=$work/boards
mkdir -p "$work/received"

# The board prints "attached NAME PATH" once Quillon can list it. Its output file exists
# before the board starts, since the shell opens it for the board only in the background.
: > "$work/board.out"
build/quillon-board --board "plinth0=Plinth ARM development board (virtual)" \
    --save-dir "$work/received" > "$work/board.out" &
board_pid=$!
for _ in $(seq 100); do
    grep -q '^attached ' "$work/board.out" && break
    sleep 0.05
done
grep '^attached ' "$work/board.out" >/dev/null || { echo "the virtual board did not start" >&2; exit 1; }

status=0
build/quillon --headless "$image" || status=$?
if [ "$status" -ne 0 ]; then
    echo "quillon ended with exit code $status" >&2
    exit "$status"
fi
# An ELF, HEX or S-record file goes to the board as its flat image.
expected=$image
case "$image" in
    *.bin) ;;
    *) expected=$work/expected.bin
       build/quillon --convert "$image" -o "$expected" 2>/dev/null ;;
esac
cmp "$expected" "$work/received/plinth0.bin"
echo "The board holds the $(stat -c %s "$expected") bytes of $image."

#!/usr/bin/env bash
# The registry contract both ways, each side against a peer that knows only the contract:
# quillon against a board written in Python, and a host written in Python against quillon-board.
# usage: contract-test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
here=$2/tests/contract
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
wait_for() { # FILE WORD
    for _ in $(seq 200); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done
    echo "gave up waiting for '$2' in $1" >&2
    return 1
}

echo "== quillon against a board that knows only the contract"
export QUILLON_BOARD_DIR=$work/one
python3 "$here/contract_board.py" "$QUILLON_BOARD_DIR" pyboard "$work/received.bin" >"$work/py.out" &
pids+=($!)
wait_for "$work/py.out" ready
head -c 100000 /dev/urandom >"$work/image.bin"
"$build/quillon" --headless --wait 5 --timeout 2000 "$work/image.bin" | tee "$work/quillon.out"
grep -q 'Contract board (python)(Contract 1.0)' "$work/quillon.out"
cmp "$work/image.bin" "$work/received.bin"

echo "== a host that knows only the contract against quillon-board"
export QUILLON_BOARD_DIR=$work/two
"$build/quillon-board" --board "plinth0=Plinth board" >"$work/board.out" &
pids+=($!)
wait_for "$work/board.out" attached
python3 "$here/contract_host.py" "$QUILLON_BOARD_DIR"
echo "the registry contract holds both ways"

#!/bin/sh
# The window program under Wine on an X display (xvfb-run): its main window opens with the
# title "Quillon", and Escape ends it with 2, as the close box does.
# Usage: window-test.sh WINE_RUN WINEPREFIX DLL_DIRS QUILLON
set -u
run=$1
prefix=$2
dll_dirs=$3
quillon=$4
work=$(mktemp -d /tmp/quillon-win-window-XXXXXX)

# Wine's desktop belongs to the first program of a server's session: one started without a
# display would leave this window nowhere to show. So the window has a server of its own,
# ended before and after (ctest runs no other test meanwhile).
end_server() {
    WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1
    WINEPREFIX="$prefix" wineserver -w >/dev/null 2>&1
}
end_server
trap 'end_server; rm -rf "$work"' EXIT

# No boards: a registry of its own, empty.
mkdir "$work/boards"
QUILLON_BOARD_DIR="Z:$(printf '%s' "$work/boards" | sed 's|/|\\|g')"
export QUILLON_BOARD_DIR
"$run" "$prefix" "$dll_dirs" "$quillon" >"$work/out" 2>&1 &
pid=$!

window=
tries=0
while [ -z "$window" ] && [ "$tries" -lt 300 ] && kill -0 "$pid" 2>/dev/null; do
    window=$(xdotool search --name '^Quillon$' 2>/dev/null | head -n 1)
    tries=$((tries + 1))
    sleep 0.2
done
if [ -z "$window" ]; then
    kill "$pid" 2>/dev/null
    echo "FAIL: no window titled Quillon appeared: $(cat "$work/out")"
    exit 1
fi
xdotool windowfocus "$window" 2>/dev/null
sleep 0.5
xdotool key Escape

tries=0
while kill -0 "$pid" 2>/dev/null && [ "$tries" -lt 150 ]; do
    tries=$((tries + 1))
    sleep 0.2
done
if kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null
    echo "FAIL: the window did not end on Escape"
    exit 1
fi
wait "$pid"
rc=$?
[ "$rc" -eq 2 ] || { echo "FAIL: Escape ended the window with $rc, not 2"; exit 1; }
echo "the window opened and Escape ended it with 2"

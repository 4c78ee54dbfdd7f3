#!/bin/sh
# The window program under Wine on an X display (xvfb-run): its main window opens with the
# title "Quillon"; a board that arrives while it is open is asked its version (the window
# watches the registry of virtual boards); Escape ends it with 2, as the close box does. A
# second window opens the guide beside the program on F1, with the system's handler of .html.
# Usage: window-test.sh WINE_RUN WINEPREFIX DLL_DIRS QUILLON BOARD
set -u
run=$1
prefix=$2
dll_dirs=$3
quillon=$4
board=$5
work=$(mktemp -d /tmp/quillon-win-window-XXXXXX)
pid=
board_pid=

# Wine's desktop belongs to the first program of a server's session: one started without a
# display would leave this window nowhere to show. So the window has a server of its own,
# ended before and after (ctest runs no other test meanwhile).
end_server() {
    WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1
    WINEPREFIX="$prefix" wineserver -w >/dev/null 2>&1
}
stop_board() {
    [ -n "$board_pid" ] && kill -INT "$board_pid" 2>/dev/null && wait "$board_pid"
    board_pid=
}
fail() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
    echo "FAIL: $*"
    exit 1
}
trap 'stop_board; end_server; rm -rf "$work"' EXIT

winpath() {
    printf 'Z:%s' "$1" | sed 's|/|\\|g'
}

# wait_for SECONDS COMMAND...: polls COMMAND five times a second until it succeeds.
wait_for() {
    limit=$(($1 * 5))
    shift
    tries=0
    until "$@"; do
        tries=$((tries + 1))
        [ "$tries" -le "$limit" ] || return 1
        sleep 0.2
    done
}

window_shown() {
    window=$(xdotool search --name '^Quillon$' 2>/dev/null | head -n 1)
    [ -n "$window" ] || ! kill -0 "$pid" 2>/dev/null
}

window_gone() {
    ! kill -0 "$pid" 2>/dev/null
}

open_window() {
    "$run" "$prefix" "$dll_dirs" "$quillon" >"$work/out" 2>&1 &
    pid=$!
    window=
    wait_for 60 window_shown
    [ -n "$window" ] || fail "no window titled Quillon appeared: $(cat "$work/out")"
    xdotool windowfocus "$window" 2>/dev/null
    sleep 0.5
}

# .html files open with a command that writes down what it was given (Wine has no browser here).
"$run" "$prefix" "" reg add 'HKLM\Software\Classes\.html' /ve /d QuillonTestGuide /f \
    >/dev/null 2>&1
"$run" "$prefix" "" reg add 'HKLM\Software\Classes\QuillonTestGuide\shell\open\command' /ve \
    /d "cmd.exe /c echo %1> $(winpath "$work/opened")" /f >/dev/null 2>&1
end_server

# No boards yet: a registry of its own, empty.
mkdir "$work/boards"
QUILLON_BOARD_DIR=$(winpath "$work/boards")
export QUILLON_BOARD_DIR
open_window

# A board arrives: the window asks its version ('v') without being told.
env --default-signal=INT "$run" "$prefix" "" "$board" --log "$(winpath "$work/board.log")" \
    >"$work/board.out" 2>&1 &
board_pid=$!
wait_for 30 grep -qs '^plinth0 rx 76' "$work/board.log" ||
    fail "the window did not ask the arriving board its version:" \
        "$(cat "$work/board.out" "$work/board.log" 2>/dev/null)"
stop_board

xdotool windowfocus "$window" 2>/dev/null
xdotool key Escape
wait_for 30 window_gone || fail "the window did not end on Escape"
wait "$pid"
rc=$?
[ "$rc" -eq 2 ] || fail "Escape ended the window with $rc, not 2"

# The handler's console takes Wine's focus for good, so F1 comes last, in a window of its own.
open_window
xdotool key F1
wait_for 20 grep -qs 'help.index\.html' "$work/opened" ||
    fail "F1 did not open the guide: $(cat "$work/opened" 2>/dev/null)"
kill "$pid"
wait "$pid" 2>/dev/null
echo "the window opened, asked an arriving board its version, ended with 2 on Escape," \
    "and opened the guide on F1"

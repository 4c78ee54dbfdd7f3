#!/bin/sh
# Runs a Windows program under Wine with a prefix of its own (made on first use), for CTest
# and for the build's own steps.
# Usage: wine-run.sh PREFIX DLL_DIRS PROGRAM [ARGUMENTS...]
#   DLL_DIRS  Unix folders searched for DLLs, separated by ':' (may be empty)
set -eu
prefix=$1
dll_dirs=$2
shift 2
case $prefix in
/*) ;;
*) prefix=$PWD/$prefix ;; # Wine takes only an absolute prefix
esac

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY="${DISPLAY:-}"
# Tests run in parallel; only one of them makes the prefix, and the others wait until it is
# whole (wineboot writes system.reg long before it is done, so a stamp marks the end).
ready=$prefix/.quillon-ready
if [ ! -f "$ready" ]; then
    mkdir -p "$prefix"
    (
        flock 9
        if [ ! -f "$ready" ]; then
            wineboot --init >/dev/null 2>&1 && wineserver -w && touch "$ready"
        fi
    ) 9>"$prefix.lock"
fi

if [ -n "$dll_dirs" ]; then
    winepath=
    old_ifs=$IFS
    IFS=:
    for dir in $dll_dirs; do
        winepath="${winepath:+$winepath;}Z:$(printf '%s' "$dir" | tr / "\\\\")"
    done
    IFS=$old_ifs
    export WINEPATH="$winepath${WINEPATH:+;$WINEPATH}"
fi
# One server for the whole run: with Wine's default of three idle seconds, a test starting
# while the server of the last one shuts down loses its connection ("recvmsg: Connection reset
# by peer"). A server that is already running makes this one exit at once, with 2.
# A new server's first program starts Wine's own services, which live as long as the server and
# keep the output they inherit: a program of no output starts them, so that no caller waits
# for its output to close until the server ends.
if wineserver -p30 >/dev/null 2>&1; then
    wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
fi
exec wine "$@"

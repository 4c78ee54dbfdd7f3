#!/bin/sh
# Runs a Windows program under Wine with a prefix of its own (made on first use), for CTest
# and for the build's own steps.
# Usage: wine-run.sh PREFIX DLL_DIRS PROGRAM [ARGUMENTS...]
#   DLL_DIRS  Unix folders searched for DLLs, separated by ':' (may be empty)
set -eu
prefix=$1
dll_dirs=$2
shift 2

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY="${DISPLAY:-}"
if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$prefix"
    # Tests run in parallel; only one of them makes the prefix.
    (
        flock 9
        [ -f "$prefix/system.reg" ] || { wineboot --init >/dev/null 2>&1 && wineserver -w; }
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
exec wine "$@"

#!/bin/sh
# The language as a Windows user chooses it, under Wine: the registry value that another of the
# maker's products writes (set here with wine reg add), and the keyword on the command line,
# which wins over it. The version line shows which language was chosen.
# Usage: language-test.sh WINE_RUN WINEPREFIX QUILLON VERSION
set -u
run=$1
prefix=$2
quillon=$3
version=$4
key='HKCU\Software\corvane\TesselV3_ARM\Info'
failures=0

reg() {
    WINEPREFIX="$prefix" WINEDEBUG=-all wine reg "$@" >/dev/null 2>&1
}
trap 'reg delete "$key" /v CurrentLanguage /f' EXIT

# expect CASE LINE [ARGUMENTS...]: the version line the program shows.
expect() {
    case=$1
    want=$2
    shift 2
    out=$("$run" "$prefix" "" "$quillon" --version "$@" 2>&1 | tr -d '\r')
    [ "$out" = "$want" ] || { echo "FAIL: $case: '$out', not '$want'"; failures=$((failures + 1)); }
}

reg delete "$key" /v CurrentLanguage /f
expect "no value" "Quillon version:$version"
reg add "$key" /v CurrentLanguage /t REG_SZ /d dede /f
expect "the registry value, any case" "Quillon-Version:$version"
expect "the keyword over the value" "Version de Quillon :$version" -frfr
reg add "$key" /v CurrentLanguage /t REG_SZ /d XXXX /f
expect "a value naming no language" "Quillon version:$version"

[ "$failures" -eq 0 ] || exit 1
echo "language: all passed"

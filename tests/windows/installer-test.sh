#!/bin/sh
# What a Windows user installs, under Wine: the zip's programs run from where it was unpacked,
# with nothing else on the DLL path; the installer installs silently (/S) into Program Files
# with a Start-menu entry and an entry in Apps & Features, the installed programs run, and the
# uninstaller removes all of it silently.
# Usage: installer-test.sh WINE_RUN WINEPREFIX ZIP SETUP VERSION
set -u
run=$1
prefix=$2
zip=$3
setup=$4
version=$5
work=$(mktemp -d /tmp/quillon-win-installer-XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillon'

# check_version WHERE PROGRAM: the program runs and shows the version.
check_version() {
    out=$("$run" "$prefix" "" "$2" --version 2>&1)
    rc=$?
    if [ "$rc" -ne 0 ] || ! printf '%s' "$out" | grep -qF "$version"; then
        fail "$1: $(basename "$2") --version ended with $rc: $out"
    fi
}

unzip -q "$zip" -d "$work/unzipped"
folder=$(find "$work/unzipped" -mindepth 1 -maxdepth 1 -type d)
for program in quillon.exe quillon-cli.exe quillon-board.exe; do
    [ -f "$folder/$program" ] || fail "zip: no $program"
done
check_version zip "$folder/quillon.exe"
check_version zip "$folder/quillon-cli.exe"

"$run" "$prefix" "" "$setup" /S >"$work/setup.log" 2>&1 || fail "setup /S ended with $?: $(cat "$work/setup.log")"
installed="$prefix/drive_c/Program Files/Quillon"
[ -f "$installed/quillon.exe" ] || fail "setup /S: nothing in $installed"
for file in quillon.ini help/index.html platforms/qwindows.dll; do
    [ -f "$installed/$file" ] || fail "setup /S: no $file"
done
[ -f "$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Quillon/Quillon.lnk" ] ||
    fail "setup /S: no Start-menu entry"
WINEPREFIX="$prefix" WINEDEBUG=-all wine reg query "$key" /v DisplayVersion /reg:64 2>/dev/null |
    grep -qF "$version" || fail "setup /S: no entry in Apps & Features"
check_version installed "$installed/quillon.exe"
check_version installed "$installed/quillon-cli.exe"

# The uninstaller runs from a copy of itself in the temporary folder, and returns at once.
"$run" "$prefix" "" "$installed/uninstall.exe" /S >"$work/uninstall.log" 2>&1
tries=0
while [ -e "$installed" ] && [ "$tries" -lt 150 ]; do
    tries=$((tries + 1))
    sleep 0.2
done
[ -e "$installed" ] && fail "uninstall /S left $(find "$installed" | head -n 5)"
WINEPREFIX="$prefix" WINEDEBUG=-all wine reg query "$key" /reg:64 >/dev/null 2>&1 &&
    fail "uninstall /S left the entry in Apps & Features"

[ "$failures" -eq 0 ] || exit 1
echo "installer: all passed"

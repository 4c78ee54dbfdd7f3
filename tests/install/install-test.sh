#!/bin/sh
# Installs the build into an empty directory tree and runs the installed programs from
# elsewhere: the version, and a send to a virtual board made by the installed quillon-board.
# Usage: install-test.sh BUILD_DIR
set -u
build=$1
work=$(mktemp -d /tmp/quillon-install-XXXXXX)
board_pid=
cleanup() {
    [ -n "$board_pid" ] && kill "$board_pid" 2>/dev/null && wait "$board_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
root="$work/root"
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

DESTDIR="$root" cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; echo "FAIL: cmake --install"; exit 1; }
for file in usr/bin/quillon usr/bin/quillon-board usr/share/man/man1/quillon.1 \
            usr/share/applications/quillon.desktop usr/lib/udev/rules.d/60-quillon.rules \
            usr/share/metainfo/io.github.corvane.quillon.metainfo.xml \
            usr/share/icons/hicolor/scalable/apps/quillon.svg; do
    [ -e "$root/$file" ] || fail "$file was not installed"
done
grep -q '^\.SH EXIT STATUS' "$root/usr/share/man/man1/quillon.1" || fail "the man page has no exit codes"

# From a directory that holds nothing of Quillon's, with no build tree on the way.
cd "$work"
export QUILLON_BOARD_DIR="$work/boards"
export QT_QPA_PLATFORM=offscreen
version=$("$root/usr/bin/quillon" --version 2>&1)
rc=$?
[ "$rc" -eq 0 ] || fail "quillon --version ended with $rc: $version"
printf '%s\n' "$version" | grep -q "[0-9]\.[0-9]" || fail "quillon --version showed: $version"

mkdir "$work/saved"
"$root/usr/bin/quillon-board" --registry "$QUILLON_BOARD_DIR" --save-dir "$work/saved" \
    >"$work/board.log" 2>&1 &
board_pid=$!
tries=0
until grep -q attached "$work/board.log" 2>/dev/null || [ $tries -ge 50 ]; do
    sleep 0.1
    tries=$((tries + 1))
done
head -c 40000 /dev/urandom >"$work/image.bin"
"$root/usr/bin/quillon" --headless --wait 10 "$work/image.bin" >"$work/send.log" 2>&1
rc=$?
[ "$rc" -eq 0 ] || fail "the installed quillon ended a send with $rc: $(cat "$work/send.log")"
saved=no
for file in "$work"/saved/*; do
    cmp -s "$file" "$work/image.bin" && saved=yes
done
[ "$saved" = yes ] || fail "the virtual board did not receive the file"

if [ "$failures" -eq 0 ]; then
    echo "install: all passed"
fi
exit "$failures"

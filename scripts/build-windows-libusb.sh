#!/usr/bin/env bash
# Builds libusb 1.0 as a static library for 64-bit Windows (mingw-w64) from Debian's own
# libusb-1.0 source package, once, into $QUILLON_WINDOWS_CACHE/libusb (default
# /var/cache/quillon-windows/libusb). A finished build is reused. About half a minute.
# Usage: scripts/build-windows-libusb.sh
set -euo pipefail
# shellcheck source=scripts/windows-cache.sh
. "$(dirname "$0")/windows-cache.sh"

prefix=$QUILLON_WINDOWS_CACHE/libusb
stamp=$prefix/.quillon-libusb-built
if [ -f "$stamp" ]; then
    echo "libusb for Windows: reusing $prefix ($(cat "$stamp"))"
    exit 0
fi

start=$(date +%s)
work=$QUILLON_WINDOWS_CACHE/libusb-work
rm -rf "$work" "$prefix"
mkdir -p "$work"
cd "$work"
echo "libusb for Windows: fetching the libusb-1.0 source"
fetch_debian_source libusb-1.0 ""
src=$(find . -maxdepth 1 -type d -name 'libusb-1.0-*' | head -n1)
[ -n "$src" ] || { echo "libusb for Windows: no libusb-1.0 source unpacked in $work" >&2; exit 1; }
version=${src#./libusb-1.0-}

echo "libusb for Windows: building $version"
cd "$src"
[ -x configure ] || NOCONFIGURE=1 ./autogen.sh >"$work/autogen.log" 2>&1
./configure --host=x86_64-w64-mingw32 --prefix="$prefix" --enable-static --disable-shared \
    CC=x86_64-w64-mingw32-gcc-posix >"$work/configure.log" 2>&1 ||
    { tail -n 40 "$work/configure.log" >&2; exit 1; }
if ! { make -j2 && make install; } >"$work/build.log" 2>&1; then
    tail -n 40 "$work/build.log" >&2
    exit 1
fi

cd /
rm -rf "$work"
echo "libusb-1.0 $version, built in $(elapsed "$start")" >"$stamp"
echo "libusb for Windows: done in $(elapsed "$start")"

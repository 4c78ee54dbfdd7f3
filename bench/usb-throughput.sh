#!/bin/sh
# Throughput to a virtual board and to an emulated USB board, in one run, same block sizes.
# Usage: bench/usb-throughput.sh [BUILD_DIR] [SIZES]   (default: build, 102400,1048576,16777216)
set -eu
BUILD_DIR=${1:-build}
SIZES=${2:-102400,1048576,16777216}
for program in "$BUILD_DIR/bench/quillon-transfer-bench" "$BUILD_DIR/bench/quillon-usb-bench"; do
    if [ ! -x "$program" ]; then
        echo "$program is missing: build it first (cmake --build $BUILD_DIR)" >&2
        exit 1
    fi
done
command -v umockdev-wrapper >/dev/null ||
    { echo "umockdev-wrapper is missing: apt-get install umockdev" >&2; exit 1; }
echo "== virtual board (Unix sockets)"
"$BUILD_DIR/bench/quillon-transfer-bench" --board "$BUILD_DIR/quillon-board" --sizes "$SIZES"
echo
echo "== emulated USB board (libusb on a umockdev bus)"
umockdev-wrapper "$BUILD_DIR/bench/quillon-usb-bench" --sizes "$SIZES"

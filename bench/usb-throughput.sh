#!/bin/sh
# Throughput to a virtual board, to an emulated USB board, and through a USB gadget on the Linux
# kernel's own stack (a test machine under QEMU, dummy_hcd), in one run, same block sizes.
# Usage: bench/usb-throughput.sh [BUILD_DIR] [SIZES]   (default: build, 102400,1048576,16777216)
# The gadget part needs what scripts/install-deps.sh test installs; it is left out, said so,
# without it.
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
echo
echo "== USB gadget on the kernel's own stack (quillon-board --usb-gadget, dummy_hcd, QEMU TCG)"
status=0
QUILLON_BENCH_SIZES=$SIZES bash "$(dirname "$0")/../tests/usb/gadget/usb-vm.sh" bench \
    "$BUILD_DIR" "$BUILD_DIR/usb-vm-bench" >"$BUILD_DIR/usb-vm-bench.log" 2>&1 || status=$?
if [ "$status" -eq 0 ]; then
    grep -v "^-- " "$BUILD_DIR/usb-vm-bench/bench.txt"
else
    cat "$BUILD_DIR/usb-vm-bench.log"
    [ "$status" -eq 77 ] || exit "$status"
fi

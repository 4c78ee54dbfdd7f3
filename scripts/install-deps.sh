#!/usr/bin/env bash
# Installs the Debian packages Quillon needs, when any is missing.
# Usage: scripts/install-deps.sh [build|package|test|windows]
#   build    the programs (scripts/flash-example.sh)
#   package  the programs and their Debian package (scripts/build-package.sh)
#   test     all of that, the tests and the checks of scripts/test.sh
#   windows  the Windows build with mingw-w64, its Qt and libusb from Debian's sources
#            (scripts/build-windows-qt.sh, scripts/build-windows-libusb.sh), tests under Wine
set -euo pipefail

kind=${1:-build}
case $kind in
build | package | test | windows) ;;
*)
    echo "usage: $0 [build|package|test|windows]" >&2
    exit 64
    ;;
esac
# dpkg-dev: dpkg-buildflags gives the build its hardening flags; libsqlite3-dev: the journal.
packages=(cmake ninja-build g++ pkg-config qt6-base-dev libgl-dev libusb-1.0-0-dev libelf-dev
          libsqlite3-dev
          dpkg-dev)
if [ "$kind" != build ]; then
    # CPack finds the programs with file and their dependencies with dpkg-shlibdeps.
    packages+=(file)
fi
if [ "$kind" = windows ]; then
    # Qt's host tools (moc, uic, rcc) and their CMake packages are Debian's own
    # (qt6-base-dev-tools, qt6-base-dev), of the same version as its sources; dpkg-dev unpacks
    # the source packages, autoconf and friends build libusb; googletest
    # gives GoogleTest's sources; util-linux's flock guards the Wine prefix; the window is tried
    # on a virtual X display and driven with xdotool; NSIS and zip make what a Windows user
    # installs.
    packages=(cmake ninja-build dpkg-dev g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64
              qt6-base-dev-tools qt6-base-dev googletest xz-utils autoconf automake libtool
              make util-linux xvfb xauth xdotool nsis zip unzip)
fi
if [ "$kind" = test ]; then
    packages+=(libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
               umockdev libumockdev-dev xvfb xauth python3 sqlite3
               lintian devscripts mandoc appstream desktop-file-utils shellcheck cmark-gfm
               shared-mime-info
               gcc-arm-none-eabi binutils-arm-none-eabi libnewlib-arm-none-eabi
               libstdc++-arm-none-eabi-newlib)
    # USB on the kernel's own stack (tests/usb/gadget): a test machine boots Debian's kernel
    # under QEMU from an initramfs of busybox and the kernel's modules (kmod finds them, cpio
    # packs them), and runs udevd there with the project's rule.
    packages+=(qemu-system-x86 linux-image-amd64 busybox-static kmod cpio udev)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    sudo=()
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
    sudo=(sudo)
else
    echo "Quillon needs these Debian packages: ${missing[*]}" >&2
    echo "Install them as root with:" >&2
    echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
fi

echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

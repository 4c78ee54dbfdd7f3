#!/usr/bin/env bash
# Builds Qt 6 Core, Gui, Widgets and Test for 64-bit Windows (mingw-w64) from Debian's own
# qt6-base source package, once, into $QUILLON_WINDOWS_CACHE/qt (default
# /var/cache/quillon-windows/qt). A finished build is reused. Debian does not package Qt for
# mingw; the host tools (moc, uic, rcc) come from Debian's qt6-base-dev-tools, so the
# source is taken at exactly that package's version.
# Usage: scripts/build-windows-qt.sh [-jN]   (default -j2; about 14 minutes at -j2)
set -euo pipefail
# shellcheck source=scripts/windows-cache.sh
. "$(dirname "$0")/windows-cache.sh"

jobs=${1:--j2}
prefix=$QUILLON_WINDOWS_CACHE/qt
stamp=$prefix/.quillon-qt-built
if [ -f "$stamp" ]; then
    echo "Qt for Windows: reusing $prefix ($(cat "$stamp"))"
    exit 0
fi

version=$(dpkg-query -W -f='${Version}' qt6-base-dev-tools 2>/dev/null || true)
if [ -z "$version" ]; then
    echo "Qt for Windows needs Debian's qt6-base-dev-tools: scripts/install-deps.sh windows" >&2
    exit 1
fi

start=$(date +%s)
work=$QUILLON_WINDOWS_CACHE/qt-work
rm -rf "$work" "$prefix"
mkdir -p "$work"
cd "$work"
echo "Qt for Windows: fetching qt6-base $version source"
fetch_debian_source qt6-base "$version"
src=$(find . -maxdepth 1 -type d -name 'qt6-base-*' | head -n1)
[ -n "$src" ] || { echo "Qt for Windows: no qt6-base source unpacked in $work" >&2; exit 1; }

# Qt 6.4's Windows platform plugin reaches for its dynamic-OpenGL code even when OpenGL is
# left out, and does not compile then; that code is of no use without OpenGL.
sed -i 's/^#if QT_CONFIG(dynamicgl)$/#if QT_CONFIG(dynamicgl) \&\& QT_CONFIG(opengl)/' \
    "$src/src/plugins/platforms/windows/qwindowswindow.cpp"

echo "Qt for Windows: configuring ($(elapsed "$start"))"
# No wintab.h in the Debian tarball, so no tablet events; the rest is what Quillon does not use.
cmake -S "$src" -B build -G Ninja -Wno-dev \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_SHARED_LIBS=ON \
    -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
    -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_opengl=OFF \
    -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF \
    -DFEATURE_tabletevent=OFF >configure.log 2>&1 ||
    { tail -n 40 configure.log >&2; exit 1; }

echo "Qt for Windows: building with $jobs ($(elapsed "$start"))"
ninja -C build "$jobs" >build.log 2>&1 || { tail -n 40 build.log >&2; exit 1; }
ninja -C build install >install.log 2>&1 || { tail -n 40 install.log >&2; exit 1; }

# Qt's DLLs use the compiler's runtime DLLs; they go beside them.
for dll in /usr/lib/gcc/x86_64-w64-mingw32/*-posix/libstdc++-6.dll \
           /usr/lib/gcc/x86_64-w64-mingw32/*-posix/libgcc_s_seh-1.dll \
           /usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll; do
    cp "$dll" "$prefix/bin/"
done

cd /
rm -rf "$work"
echo "qt6-base $version, built in $(elapsed "$start")" >"$stamp"
echo "Qt for Windows: done in $(elapsed "$start"), $(du -sh "$prefix" | cut -f1) in $prefix"

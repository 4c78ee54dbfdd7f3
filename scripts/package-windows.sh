#!/usr/bin/env bash
# Makes what a Windows user installs, from the windows preset's build (build-windows/, with the
# window, so after scripts/build-windows-qt.sh): a zip of the programs with the Qt DLLs and
# plugins they need, quillon.ini and the guide, and an installer made with NSIS.
# Prints the paths of the two files last, one a line.
# Usage: scripts/package-windows.sh [BUILD_DIR]   (default build-windows)
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/windows-cache.sh
. scripts/windows-cache.sh
build=${1:-build-windows}
qt=$QUILLON_WINDOWS_CACHE/qt
version=$(sed -n 's/^project(Quillon VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
name=quillon-$version-windows-x64

for file in quillon.exe quillon-cli.exe quillon-board.exe quillon.ini help/index.html; do
    [ -f "$build/$file" ] || { echo "No $build/$file: build the windows preset with Qt first." >&2; exit 1; }
done
for tool in makensis zip x86_64-w64-mingw32-strip; do
    command -v "$tool" >/dev/null || { echo "No $tool: scripts/install-deps.sh windows" >&2; exit 1; }
done

stage=$build/package/$name
rm -rf "$build/package"
mkdir -p "$stage/platforms" "$stage/styles" "$stage/imageformats" "$stage/help"
cp "$build"/quillon.exe "$build"/quillon-cli.exe "$build"/quillon-board.exe "$build"/quillon.ini \
    "$stage/"
cp "$build"/help/* "$stage/help/"
# Qt and the compiler's runtime DLLs beside the window program; Qt finds its plugins in the
# folders beside it.
cp "$qt"/bin/Qt6Core.dll "$qt"/bin/Qt6Gui.dll "$qt"/bin/Qt6Widgets.dll "$qt"/bin/libstdc++-6.dll \
    "$qt"/bin/libgcc_s_seh-1.dll "$qt"/bin/libwinpthread-1.dll "$stage/"
cp "$qt"/plugins/platforms/qwindows.dll "$stage/platforms/"
cp "$qt"/plugins/styles/qwindowsvistastyle.dll "$stage/styles/"
cp "$qt"/plugins/imageformats/qico.dll "$stage/imageformats/"
cp LICENSE "$stage/LICENSE.txt"
# Debug information stays in the build tree.
find "$stage" \( -name '*.exe' -o -name '*.dll' \) -exec x86_64-w64-mingw32-strip --strip-unneeded {} +

(cd "$build/package" && zip -qr9X "$name.zip" "$name")
makensis -V2 -DVERSION="$version" -DSTAGE="$(realpath "$stage")" \
    -DOUTFILE="$(realpath "$build/package")/$name-setup.exe" packaging/windows/quillon.nsi
realpath "$build/package/$name.zip" "$build/package/$name-setup.exe"

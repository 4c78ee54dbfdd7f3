#!/usr/bin/env bash
# Builds the programs as Debian builds packages (dpkg-buildflags, hardening included) and
# makes the Debian package build/quillon_VERSION_ARCH.deb; prints its path last.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh package

log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake --preset app && cmake --build --preset app -j "$(nproc)" &&
       cpack --preset app; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "Making the package failed; the lines above say why." >&2
    exit 1
fi
deb=$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' "$log" | tail -n 1)
[ -n "$deb" ] || { cat "$log" >&2; echo "CPack named no package." >&2; exit 1; }
echo "$deb"

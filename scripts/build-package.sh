#!/usr/bin/env bash
# Builds the programs as Debian builds packages (dpkg-buildflags, hardening included) and
# makes the Debian packages build/quillon-cli_VERSION_ARCH.deb (the command line, without Qt)
# and build/quillon_VERSION_ARCH.deb (the window); prints their paths last, one a line.
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
debs=$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' "$log")
[ "$(printf '%s\n' "$debs" | grep -c '\.deb$')" -eq 2 ] ||
    { cat "$log" >&2; echo "CPack did not name the two packages." >&2; exit 1; }
printf '%s\n' "$debs"

#!/usr/bin/env bash
# Proves the quick start on a fresh Debian 12. In a minimal root made by debootstrap, with a
# clean export of the checkout (git archive HEAD), it runs the README's first command exactly
# as written and builds the two Debian packages; then it installs both with apt-get into a
# second fresh root, and quillon-cli alone into a third (no Qt may come with it), and runs the
# installed programs against a virtual board and the man pages there.
# Usage: scripts/fresh-machine-check.sh [OUT_DIR]
#   OUT_DIR receives the packages built in the fresh root (default: build-fresh/).
# Needs root. The minimal root is made once and kept as a tar file in $QUILLON_FRESH_CACHE
# (default /var/cache/quillon-fresh); every run unpacks a pristine copy of it. Downloaded
# packages are kept there too, so only the first run fetches them.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
out=${1:-$src/build-fresh}
cache=${QUILLON_FRESH_CACHE:-/var/cache/quillon-fresh}
suite=bookworm
readme_command=scripts/flash-example.sh
started=$SECONDS

say() { echo "fresh-machine [$((SECONDS - started))s]: $*"; }
die() {
    echo "fresh-machine: FAILED: $*" >&2
    exit 1
}

[ "$(id -u)" -eq 0 ] || die "needs root (debootstrap and chroot)"
grep -qxF "    $readme_command" README.md || die "the README no longer starts with $readme_command"

# The archive apt on this machine uses for $suite: deb822 .sources files first, then
# one-line sources.
debian_mirror() {
    local files=(/etc/apt/sources.list.d/*.sources)
    [ -e "${files[0]}" ] && awk -v RS='' -v suite="$suite" '{
        n = split($0, line, "\n"); uri = ""; deb = 0; wanted = 0; enabled = 1
        for (i = 1; i <= n; i++) {
            if (line[i] ~ /^#/) continue
            if (line[i] ~ /^Types:/ && (line[i] " ") ~ /[: ]deb /) deb = 1
            if (line[i] ~ /^Suites:/ && (line[i] " ") ~ ("[: ]" suite " ")) wanted = 1
            if (line[i] ~ /^Enabled:[ \t]*no/) enabled = 0
            if (line[i] ~ /^URIs:/) { split(line[i], word, /[ \t]+/); uri = word[2] }
        }
        if (deb && wanted && enabled && uri != "") { print uri; exit }
    }' "${files[@]}" | head -n 1
    { cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true; } |
        sed -n -E "s/^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+)[[:space:]]+${suite}[[:space:]].*/\2/p"
}
mirror=$(debian_mirror | head -n 1) || true
[ -n "$mirror" ] || die "apt on this machine has no source for $suite"

mkdir -p "$cache/archives/partial" "$out"
work=$(mktemp -d /var/tmp/quillon-fresh.XXXXXX)

# Unmounts everything mounted at or below $1, deepest first.
unmount_under() {
    local point
    awk -v top="$1" '$2 == top || index($2, top "/") == 1 { print $2 }' /proc/self/mounts |
        sort -r | while read -r point; do
        umount "$point" 2>/dev/null || umount -l "$point" || true
    done
}
# Ends the processes still running inside a root below $work (a board left behind).
stop_processes_under() {
    local proc root
    for proc in /proc/[0-9]*; do
        root=$(readlink "$proc/root" 2>/dev/null) || continue
        case $root in "$work"/*) kill -KILL "${proc#/proc/}" 2>/dev/null || true ;; esac
    done
}
cleanup() {
    stop_processes_under
    unmount_under "$work"
    if awk -v top="$work" 'index($2, top "/") == 1 { found = 1 } END { exit !found }' \
        /proc/self/mounts; then
        echo "fresh-machine: something is still mounted below $work; left in place" >&2
    else
        rm -rf --one-file-system "$work"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The minimal root, made once.
base=$cache/$suite-minbase.tar
if [ ! -s "$base" ]; then
    if ! command -v debootstrap >/dev/null; then
        say "installing debootstrap"
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            debootstrap >"$work/apt.log" 2>&1 ||
            { cat "$work/apt.log" >&2; die "debootstrap could not be installed"; }
    fi
    say "making a minimal $suite root from $mirror (once; kept in $cache)"
    debootstrap --variant=minbase "$suite" "$work/base" "$mirror" >"$work/debootstrap.log" 2>&1 ||
        { tail -n 30 "$work/debootstrap.log" >&2; die "debootstrap failed"; }
    unmount_under "$work/base"
    rm -f "$work"/base/var/cache/apt/archives/*.deb
    tar -C "$work/base" -cf "$base.part" . && mv "$base.part" "$base"
    rm -rf --one-file-system "$work/base"
fi

# new_root NAME: a pristine copy of the minimal root, with name resolution, the host's apt
# proxy settings, /proc, /sys, /dev and the shared cache of downloaded packages.
new_root() {
    local root=$work/$1 conf
    mkdir "$root"
    tar -C "$root" -xf "$base"
    cp -L /etc/resolv.conf "$root/etc/resolv.conf"
    # dpkg without fsync: the root is thrown away after the run, so nothing is lost by it.
    echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/quillon-fresh-unsafe-io"
    for conf in /etc/apt/apt.conf.d/*; do
        [ -f "$conf" ] && grep -qiE 'Acquire::[a-z]+::Proxy|Acquire::Check-Valid-Until' "$conf" &&
            cp "$conf" "$root/etc/apt/apt.conf.d/"
    done
    mount -t proc proc "$root/proc"
    mount -t sysfs sysfs "$root/sys"
    mount --bind /dev "$root/dev"
    mount --bind /dev/pts "$root/dev/pts"
    mount --bind "$cache/archives" "$root/var/cache/apt/archives"
}
# in_root NAME SCRIPT: runs SCRIPT with bash as root in the root NAME, with a clean
# environment like a login on a new machine.
in_root() {
    chroot "$work/$1" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin /bin/bash -c "$2"
}

say "build root: $readme_command on a clean export of HEAD"
new_root build
mkdir "$work/build/src"
git -C "$src" archive HEAD | tar -C "$work/build/src" -x
in_root build "cd /src && $readme_command" || die "$readme_command failed on a fresh $suite"

say "build root: the Debian packages"
debs=$(in_root build "cd /src && scripts/build-package.sh" | tail -n 2) ||
    die "scripts/build-package.sh failed on a fresh $suite"
rm -f "$out"/quillon_*.deb "$out"/quillon-cli_*.deb
for deb in $debs; do
    [ -f "$work/build$deb" ] || die "no package at $deb"
    cp "$work/build$deb" "$out/"
done
package=$(find "$out" -maxdepth 1 -name 'quillon_*.deb' | head -n 1)
cli_package=$(find "$out" -maxdepth 1 -name 'quillon-cli_*.deb' | head -n 1)
if [ -z "$package" ] || [ -z "$cli_package" ]; then
    die "the packages quillon and quillon-cli were not both made"
fi
version=$(dpkg-deb -f "$package" Version)
# Without libusb-1.0-0-dev or pkg-config the build still succeeds, with no USB boards at all.
dpkg-deb -f "$cli_package" Depends | grep -q 'libusb-1\.0-0' ||
    die "the programs were built without USB support: install-deps.sh lacks a package for libusb"
say "built $(basename "$cli_package") and $(basename "$package")"

# send_to_board_script PROGRAM: the checks of the installed programs, the same in each root:
# the version, the list, a virtual board, a send to it with PROGRAM and the image checked on
# the board, and the man pages. It counts its failures in $failures.
send_to_board_script() {
    cat <<SCRIPT
    set -u
    cd /root
    failures=0
    fail() { echo "FAILED: \$*" >&2; failures=\$((failures + 1)); }
    board=
    trap '[ -n "\$board" ] && kill "\$board" 2>/dev/null' EXIT
    version=\$($1 --version 2>&1) || fail "$1 --version: \$version"
    echo "$1 --version: \$version"
    case \$version in *$version*) ;; *) fail '$1 --version does not show $version' ;; esac
    $1 --list || fail '$1 --list'
    mkdir -p saved
    quillon-board --save-dir saved >board.out 2>&1 &
    board=\$!
    for _ in \$(seq 100); do grep -q '^attached ' board.out && break; sleep 0.1; done
    grep '^attached ' board.out || fail "quillon-board did not attach: \$(cat board.out)"
    $1 --headless --wait 10 blinky.bin || fail 'the headless send with $1'
    cmp blinky.bin saved/plinth0.bin || fail 'the board does not hold the image'
    man $1 | grep -q 'EXIT STATUS' || fail 'man $1'
    man quillon-board | grep -q 'quillon-board' || fail 'man quillon-board'
SCRIPT
}

say "install root: apt-get install ./$(basename "$package") ./$(basename "$cli_package")"
new_root install
cp "$package" "$cli_package" "$src/examples/blinky.bin" "$work/install/root/"
in_root install "cd /root && apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends man-db &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y ./quillon_*.deb ./quillon-cli_*.deb" \
    >"$work/install.log" 2>&1 ||
    { tail -n 40 "$work/install.log" >&2; die "the packages did not install"; }

say "install root: the installed programs"
in_root install "$(send_to_board_script quillon)
    exit \$failures" || die "the installed packages do not work"

# A build server: quillon-cli alone, without Qt or anything of a display.
say "cli root: apt-get install ./$(basename "$cli_package") alone"
new_root cli
cp "$cli_package" "$src/examples/blinky.bin" "$work/cli/root/"
in_root cli "cd /root && apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends man-db &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y ./quillon-cli_*.deb" >"$work/cli.log" 2>&1 ||
    { tail -n 40 "$work/cli.log" >&2; die "quillon-cli did not install alone"; }
say "cli root: quillon-cli flashes a virtual board"
in_root cli "$(send_to_board_script quillon-cli)
    extra=\$(dpkg-query -W -f '\${Package}\\n' 'libqt*' 'libx11*' 2>/dev/null)
    [ -z \"\$extra\" ] || fail \"Qt or X came with quillon-cli: \$extra\"
    exit \$failures" || die "quillon-cli alone does not work"
say "passed: $readme_command on a fresh $suite; both packages installed together, and" \
    "$(basename "$cli_package") alone, each flashed a virtual board"

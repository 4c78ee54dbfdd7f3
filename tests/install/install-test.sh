#!/bin/sh
# Installs the build into an empty directory tree, and unpacks the Debian package into another,
# then runs the programs of each from elsewhere: the version, and a send to a virtual board
# made by that tree's own quillon-board.
# Usage: install-test.sh BUILD_DIR
set -u
build=$(cd "$1" && pwd)
work=$(mktemp -d /tmp/quillon-install-XXXXXX)
board_pid=
# shellcheck disable=SC2317  # called by the trap below
cleanup() {
    [ -n "$board_pid" ] && kill "$board_pid" 2>/dev/null && wait "$board_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# check_tree ROOT NAME: what must be in an installed tree, and that its programs run.
check_tree() {
    root=$1
    name=$2
    for file in usr/bin/quillon usr/bin/quillon-cli usr/bin/quillon-board \
                usr/share/man/man1/quillon.1.gz usr/share/man/man1/quillon-cli.1.gz \
                usr/share/man/man1/quillon-board.1.gz usr/share/doc/quillon/copyright \
                usr/share/doc/quillon/changelog.gz usr/share/doc/quillon-cli/copyright \
                usr/share/doc/quillon-cli/changelog.gz usr/share/quillon/quillon.ini \
                usr/share/applications/quillon.desktop usr/lib/udev/rules.d/60-quillon.rules \
                usr/share/metainfo/io.github.corvane.quillon.metainfo.xml \
                usr/share/icons/hicolor/scalable/apps/quillon.svg \
                usr/share/bash-completion/completions/quillon \
                usr/share/bash-completion/completions/quillon-cli \
                usr/share/zsh/vendor-completions/_quillon; do
        [ -e "$root/$file" ] || fail "$name: $file is missing"
    done
    gzip -dc "$root/usr/share/man/man1/quillon.1.gz" 2>/dev/null | grep -q '^\.SH EXIT STATUS' ||
        fail "$name: the man page has no exit codes"

    # From a directory that holds nothing of Quillon's, with no build tree on the way.
    run="$work/run-$name"
    mkdir -p "$run/saved"
    cd "$run" || return
    export QUILLON_BOARD_DIR="$run/boards"
    version=$("$root/usr/bin/quillon" --version 2>&1)
    rc=$?
    [ "$rc" -eq 0 ] || fail "$name: quillon --version ended with $rc: $version"
    printf '%s\n' "$version" | grep -q "[0-9]\.[0-9]" || fail "$name: quillon --version showed: $version"

    "$root/usr/bin/quillon-board" --registry "$QUILLON_BOARD_DIR" --save-dir "$run/saved" \
        >"$run/board.log" 2>&1 &
    board_pid=$!
    tries=0
    until grep -q attached "$run/board.log" 2>/dev/null || [ $tries -ge 50 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
    check_completion "$root" "$name"
    head -c 40000 /dev/urandom >"$run/image.bin"
    "$root/usr/bin/quillon" --headless --wait 10 "$run/image.bin" >"$run/send.log" 2>&1
    rc=$?
    [ "$rc" -eq 0 ] || fail "$name: the installed quillon ended a send with $rc: $(cat "$run/send.log")"
    saved=no
    for file in "$run"/saved/*; do
        cmp -s "$file" "$run/image.bin" && saved=yes
    done
    [ "$saved" = yes ] || fail "$name: the virtual board did not receive the file"
    # quillon-cli finds quillon's language file and runs on the console with a display set.
    "$root/usr/bin/quillon-cli" --board-version >"$run/cli.log" 2>&1
    rc=$?
    [ "$rc" -eq 0 ] || fail "$name: quillon-cli --board-version ended with $rc: $(cat "$run/cli.log")"
    kill "$board_pid" 2>/dev/null
    wait "$board_pid" 2>/dev/null
    board_pid=
    cd "$work" || return
}

# check_completion ROOT NAME: the bash completion offers the options, and the attached board's
# path after --device.
check_completion() {
    command -v bash >/dev/null || return
    # shellcheck disable=SC2016  # expanded by the bash below
    words=$(bash -c '. "$1/usr/share/bash-completion/completions/quillon" 2>/dev/null
        COMP_WORDS=("$1/usr/bin/quillon" --dev); COMP_CWORD=1; _quillon
        printf "%s\n" "${COMPREPLY[@]}"
        COMP_WORDS=("$1/usr/bin/quillon" --device ""); COMP_CWORD=2; _quillon
        printf "%s\n" "${COMPREPLY[@]}"' sh "$1")
    printf '%s\n' "$words" | grep -qx -- --device ||
        fail "$2: the bash completion does not offer --device: $words"
    printf '%s\n' "$words" | grep -qx -- "$QUILLON_BOARD_DIR/plinth0" ||
        fail "$2: the bash completion does not offer the board after --device: $words"
}

# check_version ROOT VERSION: the program, the man pages, the metadata and the changelog all
# carry the package's version; the udev rule grants its boards to the user at the seat and to
# plugdev, and the metadata names every board it grants.
check_version() {
    root=$1
    version=$2
    "$root/usr/bin/quillon" --version 2>&1 | grep -qF "$version" ||
        fail "quillon --version does not show the package version $version"
    for page in quillon quillon-board; do
        gzip -dc "$root/usr/share/man/man1/$page.1.gz" | head -n 1 | grep -qF "\"Quillon $version\"" ||
            fail "the man page $page(1) is not of version $version"
    done
    metainfo=$root/usr/share/metainfo/io.github.corvane.quillon.metainfo.xml
    grep -qF "<release version=\"$version\"" "$metainfo" ||
        fail "the metadata is not of version $version"
    gzip -dc "$root/usr/share/doc/quillon/changelog.gz" | head -n 1 | grep -qF "($version)" ||
        fail "the changelog does not begin with version $version"
    ids=$(sed -n 's/.*ATTR{idVendor}=="\([0-9a-f]*\)".*ATTR{idProduct}=="\([0-9a-f]*\)".*/\1 \2/p' \
        "$root/usr/lib/udev/rules.d/60-quillon.rules")
    [ -n "$ids" ] || fail "the udev rule names no board"
    grep '^SUBSYSTEM' "$root/usr/lib/udev/rules.d/60-quillon.rules" |
        grep -vF 'TAG+="uaccess", GROUP="plugdev", MODE="0660"' &&
        fail "the udev rule lines above do not grant access both at the seat and to plugdev"
    printf '%s\n' "$ids" | while read -r vendor product; do
        alias="usb:v$(echo "$vendor" | tr a-f A-F)p$(echo "$product" | tr a-f A-F)d*"
        grep -qF "<modalias>$alias</modalias>" "$metainfo" || echo "$alias"
    done | grep . && fail "the metadata lacks the modaliases above"
}

export QT_QPA_PLATFORM=offscreen

DESTDIR="$work/root" cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; echo "FAIL: cmake --install"; exit 1; }
check_tree "$work/root" install

# The Debian package, unpacked as dpkg would put it on a machine.
if command -v cpack >/dev/null && command -v dpkg-deb >/dev/null; then
    (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/package") \
        >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
    deb=$(find "$work/package" -maxdepth 1 -name 'quillon_*.deb' | head -n 1)
    cli_deb=$(find "$work/package" -maxdepth 1 -name 'quillon-cli_*.deb' | head -n 1)
    if [ -n "$deb" ] && [ -n "$cli_deb" ] && dpkg-deb -x "$deb" "$work/debroot" &&
        dpkg-deb -x "$cli_deb" "$work/debroot"; then
        dpkg-deb -f "$cli_deb" Depends | grep -q libusb-1.0-0 ||
            fail "quillon-cli does not depend on libusb"
        dpkg-deb -f "$cli_deb" Depends | grep -qi qt && fail "quillon-cli depends on Qt"
        dpkg-deb -f "$deb" Depends | grep -qF "quillon-cli (= $(dpkg-deb -f "$deb" Version))" ||
            fail "quillon does not depend on its own version of quillon-cli"
        check_tree "$work/debroot" package
        check_version "$work/debroot" "$(dpkg-deb -f "$deb" Version)"
    else
        fail "the Debian packages quillon and quillon-cli were not both made"
    fi
else
    echo "cpack or dpkg-deb missing: the Debian package is not checked"
fi

if [ "$failures" -eq 0 ]; then
    echo "install: all passed"
fi
exit "$failures"

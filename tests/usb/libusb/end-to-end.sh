#!/bin/sh
# The program against an emulated USB board, as a user runs it: the list, a send, the old
# bootloader, a board that answers wrongly, and a board plugged in while the program waits.
# Usage: end-to-end.sh UMOCKDEV_WRAPPER BOARD_RUN QUILLON
set -u
wrapper=$1
run=$2
quillon=$3
work=$(mktemp -d /tmp/quillon-usb-e2e-XXXXXX)
trap 'rm -rf "$work"' EXIT
# No virtual boards: the USB board must be the one found.
export QUILLON_BOARD_DIR="$work/boards"
mkdir -m 700 "$QUILLON_BOARD_DIR"
export QT_QPA_PLATFORM=offscreen
# Sanitizer builds: umockdev's preload library comes before the sanitizer's, which is fine here.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

board() {
    "$wrapper" "$run" "$@"
}

# The list names the board by its strings, its path and its bootloader's banner.
out=$(board --banner "Plinth BL 3.0" -- "$quillon" --list 2>&1)
printf '%s\n' "$out" | grep -q "Plinth Bootloader (Corvane)	usb:1-2	Plinth BL 3.0" ||
    fail "--list showed: $out"

# A send puts the file into the board's memory, byte for byte, and ends with 0.
head -c 150001 /dev/urandom >"$work/image.bin"
board --memory-out "$work/memory.bin" -- "$quillon" --headless "$work/image.bin" >"$work/send.log" 2>&1
rc=$?
[ "$rc" -eq 0 ] || fail "send ended with $rc: $(cat "$work/send.log")"
cmp -s "$work/image.bin" "$work/memory.bin" || fail "the board's memory differs from the file"

# The same at full speed, with a board plugged in a moment after the program started waiting.
board --packet 64 --plug-after 700 --memory-out "$work/memory64.bin" -- \
    "$quillon" --headless "$work/image.bin" >"$work/late.log" 2>&1
rc=$?
[ "$rc" -eq 0 ] || fail "send to a late board ended with $rc: $(cat "$work/late.log")"
cmp -s "$work/image.bin" "$work/memory64.bin" || fail "a late board's memory differs from the file"

# The old bootloader is refused with 47; a wrong reply to the send fails it with 39.
board --banner "quillon V1.0c" -- "$quillon" --headless "$work/image.bin" >/dev/null 2>&1
rc=$?
[ "$rc" -eq 47 ] || fail "old bootloader ended with $rc, not 47"
board --wrong-reply s1 -- "$quillon" --headless "$work/image.bin" >/dev/null 2>&1
rc=$?
[ "$rc" -eq 39 ] || fail "wrong reply ended with $rc, not 39"

# The single operations against the USB board: version, execute, a block into a file.
out=$(board --banner "Plinth BL 3.0" -- "$quillon" --board-version 2>&1)
[ "$out" = "Plinth BL 3.0" ] || fail "--board-version showed: $out"
board -- "$quillon" --execute >"$work/execute.log" 2>&1
rc=$?
[ "$rc" -eq 0 ] || fail "--execute ended with $rc: $(cat "$work/execute.log")"
board -- "$quillon" --receive 0x100 -o "$work/block.bin" >"$work/receive.log" 2>&1
rc=$?
if ! { [ "$rc" -eq 0 ] && [ "$(wc -c <"$work/block.bin")" -eq 256 ]; }; then
    fail "--receive ended with $rc: $(cat "$work/receive.log")"
fi
board --wrong-reply x1 -- "$quillon" --execute >/dev/null 2>&1
rc=$?
[ "$rc" -eq 39 ] || fail "a refused execute ended with $rc, not 39"

# A board this user may not open is named, with the udev rule, instead of "no board". Root
# opens any device node, so that check runs as an ordinary user when started as root.
user_home="$work/user"
mkdir -m 777 "$user_home"
chmod 755 "$work"
as_user=
[ "$(id -u)" -eq 0 ] && as_user="setpriv --reuid=65534 --regid=65534 --clear-groups"
out=$(HOME="$user_home" QUILLON_BOARD_DIR="$user_home/boards" $as_user \
      "$run" --no-access -- "$quillon" --list 2>&1)
rc=$?
if [ "$rc" -eq 126 ] || [ "$rc" -eq 127 ] || printf '%s' "$out" | grep -q "Permission denied"; then
    echo "note: the access message is not checked: an ordinary user cannot run this build ($out)"
else
    printf '%s\n' "$out" | grep -q "USB 1209:5150 at 1-2.*60-quillon.rules" ||
        fail "--list for a board that cannot be opened showed: $out"
    out=$(HOME="$user_home" QUILLON_BOARD_DIR="$user_home/boards" $as_user \
          "$run" --no-access -- "$quillon" --list --json 2>/dev/null)
    printf '%s' "$out" | grep -qF '{"path": "usb:1-2", "description": "USB board 1209:5150", "version": null, "may_open": false, "in_use": false}' ||
        fail "--list --json for a board that cannot be opened showed: $out"
    # The unattended run says so while it waits, then gives up with 77, not as without a board.
    # (Each poll of a refused emulated board leaves descriptors open in umockdev's preload,
    # whose table overflows after about three seconds: the wait stays below that.)
    chmod 644 "$work/image.bin"
    out=$(HOME="$user_home" QUILLON_BOARD_DIR="$user_home/boards" $as_user \
          "$run" --no-access -- "$quillon" --headless --wait 2 "$work/image.bin" 2>&1)
    rc=$?
    [ "$rc" -eq 77 ] || fail "an unattended run with a refused board ended with $rc, not 77"
    [ "$(printf '%s\n' "$out" | grep -c "60-quillon.rules")" -eq 1 ] ||
        fail "an unattended run with a refused board showed: $out"
    ! printf '%s\n' "$out" | grep -q "No board found" ||
        fail "an unattended run with a refused board also said there was none: $out"
    # Also when the wait is over before a board just attached may be judged refused.
    out=$(HOME="$user_home" QUILLON_BOARD_DIR="$user_home/boards" $as_user \
          "$run" --no-access -- "$quillon" --headless --wait 0.3 "$work/image.bin" 2>&1)
    rc=$?
    if [ "$rc" -ne 77 ] || ! printf '%s\n' "$out" | grep -q "60-quillon.rules"; then
        fail "a short wait with a refused board ended with $rc: $out"
    fi
    out=$(HOME="$user_home" QUILLON_BOARD_DIR="$user_home/boards" $as_user \
          "$run" --no-access -- "$quillon" --board-version 2>&1)
    rc=$?
    if [ "$rc" -ne 77 ] || ! printf '%s\n' "$out" | grep -q "60-quillon.rules"; then
        fail "--board-version with a refused board ended with $rc: $out"
    fi
fi

if [ "$failures" -eq 0 ]; then
    echo "USB end to end: all passed"
fi
exit "$failures"

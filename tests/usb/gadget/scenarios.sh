#!/bin/bash
# The USB scenarios on the kernel's own stack, run inside the test machine that usb-vm.sh boots
# (in the host's root, which the machine sees read-only): quillon-board --usb-gadget makes the
# board a USB device on dummy_hcd's device controllers, and Quillon finds and flashes it through
# the host side of the same kernel, as on a user's machine.
#
#   scenarios.sh BUILD_DIR OUT_DIR [NAME...]    every scenario of the table (or those named), each
#                                               in its time limit; OUT_DIR/results/NAME.status
#                                               (pass, fail, skip) and NAME.log for each
#   scenarios.sh --one NAME BUILD_DIR OUT_DIR   one scenario in this process
#   scenarios.sh BUILD_DIR OUT_DIR --bench      throughput through the gadget into
#                                               OUT_DIR/bench.txt, no scenarios
set -u
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export LANG=C.UTF-8 HOME=/root XDG_RUNTIME_DIR=/run/user/0 QT_QPA_PLATFORM=offscreen
# No virtual boards: the boards found are the gadgets.
export QUILLON_BOARD_DIR=/run/quillon-no-boards

# The table: name, time limit in seconds, what it shows.
SCENARIOS=(
    "list 60 --list and --list --json show the gadget at its usb:BUS-PORT place with its strings"
    "sizes 240 sends of 1, 511, 512, 513, 4096, 65536 and 16 MiB bytes arrive whole"
    "operations 90 receive 102400 bytes and blocks shorter than a packet, version, execute"
    "hotplug 90 a run that waits flashes a gadget bound after it started"
    "window_hotplug 90 the window's status bar shows the gadget arrive and leave"
    "pulled_cable 120 an unbind in the middle of a 16 MiB send ends the run with 39, then it works"
    "leave_on_execute 90 a board that leaves the bus after the execute: the run ends with 0"
    "window_quiet_execute 90 the window's quiet execute on close to a board that then leaves"
    "stall 60 a stalled reply fails the send with 39 and a reason, at once"
    "wrong_reply 60 a wrong reply fails the send with 39 and a reason"
    "no_reply 60 no reply fails the send with 39 within the time-out"
    "short_receive 60 a block that comes short fails the receive with 39 within the time-out"
    "permissions 90 with udevd and the rule: plugdev flashes, others get 77 naming the rule"
    "tray 180 --all flashes three gadgets on three controllers at once"
    "os_descriptors 60 a gadget with an id not on the list is a board by its OS 1.0 descriptors"
    "detach 120 SIGTERM removes the gadget, also in the middle of a send; SIGKILL's leftovers are replaced"
    "errors 90 what is missing is said: root, the controller, the modules"
)

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../../.." && pwd)
GADGETS=/sys/kernel/config/usb_gadget
SECONDS_LIMIT_OF_RUN=20 # a single program run that hangs fails its scenario this soon

# --- helpers -------------------------------------------------------------------------------------

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

note() {
    echo "-- $(cut -d' ' -f1 /proc/uptime) $*"
}

skip() {
    echo "SKIP: $*"
    exit 77
}

now_ms() {
    echo $(($(date +%s%N) / 1000000))
}

# run OUT ERR COMMAND...: runs COMMAND bounded in time; sets rc and ms.
run() {
    local out=$1 err=$2 start
    shift 2
    start=$(now_ms)
    timeout -k 5 "$SECONDS_LIMIT_OF_RUN" "$@" >"$out" 2>"$err"
    rc=$?
    ms=$(($(now_ms) - start))
}

# expect_run WANT DESCRIPTION COMMAND...: runs COMMAND and fails when its exit code is not WANT.
expect_run() {
    local want=$1 what=$2
    shift 2
    run "$W/out" "$W/err" "$@"
    note "$what: exit $rc in $ms ms"
    if [ "$rc" -ne "$want" ]; then
        fail "$what ended with $rc, not $want; stdout: $(head -c 2000 "$W/out"); stderr: $(head -c 2000 "$W/err")"
        return 1
    fi
}

random_file() {
    head -c "$2" /dev/urandom >"$1"
    chmod 644 "$1"
}

same_bytes() {
    if ! cmp -s "$1" "$2"; then
        fail "$3: $(cmp "$1" "$2" 2>&1 | head -n 1) ($(stat -c %s "$1" 2>/dev/null) and $(stat -c %s "$2" 2>/dev/null) bytes)"
    fi
}

# wait_for SECONDS DESCRIPTION COMMAND...: polls COMMAND every 100 ms until it succeeds; a
# COMMAND that ends with 2 gives up at once (it said why).
wait_for() {
    local end=$((SECONDS + $1)) what=$2 status
    shift 2
    while [ "$SECONDS" -le "$end" ]; do
        "$@"
        status=$?
        [ "$status" -eq 0 ] && return 0
        [ "$status" -eq 2 ] && return 1
        sleep 0.1
    done
    fail "timed out waiting for $what"
    return 1
}

# start_boards TAG OPTION...: one quillon-board process with these options, its images in $W and
# its log in $W/TAG.log; waits until it attached every board it names.
start_boards() {
    local tag=$1 count
    shift
    count=$(printf '%s\n' "$@" | grep -c -x -- --board)
    [ "$count" -gt 0 ] || count=1
    "$board" --save-dir "$W" --log "$W/$tag.log" --log-limit 2000000 "$@" >"$W/$tag.out" 2>&1 &
    echo $! >"$W/$tag.pid"
    echo $! >>"$W/pids"
    wait_for 20 "quillon-board $tag to attach its boards" attached "$tag" "$count" &&
        note "quillon-board $tag attached $count board(s)"
}

attached() {
    [ "$(grep -c '^attached ' "$W/$1.out")" -ge "$2" ] && return 0
    if ! kill -0 "$(cat "$W/$1.pid")" 2>/dev/null; then
        fail "quillon-board $1 ended before it attached its boards: $(cat "$W/$1.out")"
        return 2
    fi
    return 1
}

# wait_exit PID SECONDS: waits for a child to end, at most SECONDS; sets rc (124: it did not).
wait_exit() {
    local end=$((SECONDS + $2))
    while kill -0 "$1" 2>/dev/null && [ "$SECONDS" -le "$end" ]; do
        sleep 0.1
    done
    if kill -0 "$1" 2>/dev/null; then
        rc=124
        return
    fi
    wait "$1" 2>/dev/null
    rc=$?
}

# stop_boards TAG [SIGNAL]: ends the process and waits for it; sets rc.
stop_boards() {
    kill "-${2:-TERM}" "$(cat "$W/$1.pid")" 2>/dev/null
    wait_exit "$(cat "$W/$1.pid")" 20
    note "quillon-board $1 ended with $rc"
}

# The sysfs names ("1-1") of the USB devices with this vendor:product id.
usb_devices() {
    local dir
    for dir in /sys/bus/usb/devices/*; do
        [ -f "$dir/idVendor" ] || continue
        if [ "$(cat "$dir/idVendor"):$(cat "$dir/idProduct")" = "$1" ]; then
            basename "$dir"
        fi
    done
}

device_count_is() {
    [ "$(usb_devices "$1" | wc -l)" -eq "$2" ]
}

# wait_usb ID COUNT: until COUNT devices of this id are enumerated and udev handled them.
wait_usb() {
    wait_for 20 "$2 USB device(s) $1" device_count_is "$1" "$2" || return 1
    note "$2 USB device(s) $1 enumerated"
    udevadm settle --timeout=10
    note "udev settled"
}

gadget_bound() {
    [ -n "$(cat "$GADGETS/$1/UDC" 2>/dev/null)" ]
}

# Removes every gadget a scenario left, in the order configfs wants, and unmounts FunctionFS.
remove_gadgets() {
    local gadget link dir
    for gadget in "$GADGETS"/*/; do
        [ -d "$gadget" ] || continue
        echo "" >"$gadget/UDC" 2>/dev/null
        for link in "$gadget"configs/*/* "$gadget"os_desc/*; do
            [ -L "$link" ] && rm -f "$link"
        done
        for dir in "$gadget"configs/*/strings/* "$gadget"configs/*; do
            rmdir "$dir" 2>/dev/null
        done
    done
    awk '$3 == "functionfs" { print $2 }' /proc/mounts | while read -r point; do
        umount "$point" 2>/dev/null || umount -l "$point"
    done
    for gadget in "$GADGETS"/*/; do
        [ -d "$gadget" ] || continue
        for dir in "$gadget"functions/* "$gadget"strings/*; do
            rmdir "$dir" 2>/dev/null
        done
        rmdir "$gadget" 2>/dev/null
    done
}

load_module() {
    grep -q "^$1 " /proc/modules || insmod "$(modinfo -n "$1")"
}

# --- the scenarios -------------------------------------------------------------------------------

ID=1209:5150
PRODUCT="Plinth Bootloader (Corvane)"

s_list() {
    start_boards b --board plinth0 --usb-gadget dummy_udc.0 || return
    wait_usb $ID 1 || return
    local place
    place=usb:$(usb_devices $ID)
    expect_run 0 "--list" "$cli" --list
    grep -qxF "$PRODUCT	$place	Plinth BL 2.1" "$W/out" || fail "--list showed: $(cat "$W/out" "$W/err")"
    expect_run 0 "--list --json" "$cli" --list --json
    grep -qF "{\"path\": \"$place\", \"description\": \"$PRODUCT\", \"version\": \"Plinth BL 2.1\", \"may_open\": true, \"in_use\": false}" "$W/out" ||
        fail "--list --json showed: $(cat "$W/out")"
    stop_boards b
}

s_sizes() {
    start_boards b --board plinth0 --usb-gadget || return
    wait_usb $ID 1 || return
    local size
    for size in 1 511 512 513 4096 65536; do
        random_file "$W/image.bin" "$size"
        expect_run 0 "send of $size bytes" "$cli" "$W/image.bin" &&
            same_bytes "$W/image.bin" "$W/plinth0.bin" "the gadget's $size bytes"
    done
    random_file "$W/image.bin" 16777216
    [ -x "$gui" ] || gui=$cli
    expect_run 0 "send of 16 MiB ($(basename "$gui") --headless)" "$gui" --headless "$W/image.bin" &&
        same_bytes "$W/image.bin" "$W/plinth0.bin" "the gadget's 16 MiB"
    note "16 MiB: $((16777 * 1000 / (ms > 0 ? ms : 1))) kB/s for the whole run"
    stop_boards b
}

s_operations() {
    start_boards b --board plinth0 --usb-gadget || return
    wait_usb $ID 1 || return
    random_file "$W/image.bin" 150001
    expect_run 0 "send" "$cli" --no-execute "$W/image.bin" || return
    local size
    for size in 102400 1000 100 1; do
        expect_run 0 "--receive $size" "$cli" --receive "$size" -o "$W/block.bin" &&
            same_bytes <(head -c "$size" "$W/image.bin") "$W/block.bin" "the $size bytes received"
    done
    expect_run 0 "--board-version" "$cli" --board-version
    [ "$(cat "$W/out")" = "Plinth BL 2.1" ] || fail "--board-version showed: $(cat "$W/out")"
    expect_run 0 "--execute" "$cli" --execute
    grep -q "plinth0 note execute" "$W/b.log" || fail "the board saw no execute"
    stop_boards b
}

s_hotplug() {
    random_file "$W/image.bin" 70001
    timeout -k 5 60 "$cli" --wait 30 "$W/image.bin" >"$W/out" 2>"$W/err" &
    local run_pid=$!
    sleep 2
    start_boards b --board plinth0 --usb-gadget || return
    wait "$run_pid"
    rc=$?
    [ "$rc" -eq 0 ] || fail "the waiting run ended with $rc: $(cat "$W/out" "$W/err")"
    same_bytes "$W/image.bin" "$W/plinth0.bin" "the late gadget's bytes"
    stop_boards b
}

# watch_window: the main window (offscreen) that prints its status bar whenever it changes.
watch_window() {
    [ -x "$watch" ] || skip "this build has no window ($watch)"
    "$watch" >"$W/window.out" 2>&1 &
    echo $! >"$W/window.pid"
    echo $! >>"$W/pids"
    wait_for 30 "the window" grep -q '^status: ' "$W/window.out"
}

window_shows() {
    [ "$(grep '^status: ' "$W/window.out" | tail -n 1)" = "status: $1" ]
}

window_shows_part() {
    grep '^status: ' "$W/window.out" | tail -n 1 | grep -qF -- "$1"
}

s_window_hotplug() {
    watch_window || return
    local empty
    empty=$(grep '^status: ' "$W/window.out" | tail -n 1 | sed 's/^status: //')
    start_boards b --board plinth0 --usb-gadget || return
    wait_for 20 "the window to show the board" window_shows_part "$PRODUCT"
    window_shows_part "Bootloader: Plinth BL 2.1" || fail "the window showed: $(tail -n 3 "$W/window.out")"
    stop_boards b
    wait_for 20 "the window to show the board gone" window_shows "$empty"
    kill -TERM "$(cat "$W/window.pid")"
    wait_exit "$(cat "$W/window.pid")" 20
    [ "$rc" -ne 124 ] || fail "the window did not close on SIGTERM"
    ! grep -q '^message: ' "$W/window.out" || fail "the window said: $(grep '^message: ' "$W/window.out")"
    note "the window's status bar: $(grep '^status: ' "$W/window.out" | tr '\n' '|')"
}

s_pulled_cable() {
    start_boards b --board plinth0 --usb-gadget dummy_udc.0 --rate 4000000 || return
    wait_usb $ID 1 || return
    random_file "$W/image.bin" 16777216
    timeout -k 5 60 "$cli" "$W/image.bin" >"$W/out" 2>"$W/err" &
    local run_pid=$! pulled
    sleep 2.5
    echo "" >"$GADGETS/quillon-plinth0/UDC"
    pulled=$(now_ms)
    wait "$run_pid"
    rc=$?
    note "the run ended $(($(now_ms) - pulled)) ms after the cable was pulled, with $rc"
    [ "$rc" -eq 39 ] || fail "the run ended with $rc, not 39: $(cat "$W/out" "$W/err")"
    grep -q '^Reason: ' "$W/err" || fail "no reason given: $(cat "$W/err")"
    [ $(($(now_ms) - pulled)) -lt 8000 ] || fail "the run took too long to give up"
    kill -0 "$(cat "$W/b.pid")" || fail "quillon-board ended with the cable"
    # Plugged in again: the next run works.
    echo dummy_udc.0 >"$GADGETS/quillon-plinth0/UDC"
    wait_usb $ID 1 || return
    random_file "$W/image2.bin" 100000
    expect_run 0 "the send after plugging in again" "$cli" "$W/image2.bin" &&
        same_bytes "$W/image2.bin" "$W/plinth0.bin" "the bytes after plugging in again"
    stop_boards b
}

s_leave_on_execute() {
    start_boards b --board plinth0 --usb-gadget --leave-on-execute 1500 || return
    wait_usb $ID 1 || return
    random_file "$W/image.bin" 30000
    expect_run 0 "a run whose board leaves after the execute" "$cli" "$W/image.bin"
    ! grep -qi "error" "$W/err" || fail "the run reported an error: $(cat "$W/err")"
    grep -q "Program has been loaded" "$W/out" || fail "the run did not report the start: $(cat "$W/out")"
    grep -q "note left the bus" "$W/b.log" || fail "the board did not leave the bus"
    wait_for 20 "the board to come back" grep -q "note back on the bus" "$W/b.log"
    wait_usb $ID 1 || return
    expect_run 0 "the run after it came back" "$cli" "$W/image.bin"
    same_bytes "$W/image.bin" "$W/plinth0.bin" "the bytes after it came back"
    stop_boards b
}

s_window_quiet_execute() {
    watch_window || return
    start_boards b --board plinth0 --usb-gadget --leave-on-execute 0 || return
    wait_for 20 "the window to show the board" window_shows_part "$PRODUCT"
    kill -TERM "$(cat "$W/window.pid")"
    wait_exit "$(cat "$W/window.pid")" 20
    note "the window ended with $rc"
    [ "$rc" -eq 2 ] || fail "the window ended with $rc, not 2: $(cat "$W/window.out")"
    ! grep -q '^message: ' "$W/window.out" || fail "the window said: $(grep '^message: ' "$W/window.out")"
    grep -q "plinth0 note execute" "$W/b.log" || fail "the board got no execute on closing"
    wait_for 10 "the board to leave" grep -q '^detached plinth0' "$W/b.out"
    stop_boards b
}

# fault_run REASON OPTION...: a gadget with this fault; the send fails with 39, in time, and its
# reason begins with REASON.
fault_run() {
    local reason=$1
    shift
    start_boards b --board plinth0 --usb-gadget "$@" || return
    wait_usb $ID 1 || return
    random_file "$W/image.bin" 20000
    expect_run 39 "a send to a board with $*" "$cli" "$W/image.bin"
    note "$(grep '^Reason: ' "$W/err")"
    grep -q "^Reason: $reason" "$W/err" || fail "not the reason \"$reason\": $(cat "$W/err")"
    [ "$ms" -lt 8000 ] || fail "it took $ms ms"
    kill -0 "$(cat "$W/b.pid")" || fail "quillon-board ended"
    stop_boards b
}

s_stall() {
    fault_run "Broken pipe: the board stalled the pipe" --stall s1
    grep -q "plinth0 note stalled PIPE01" "$W/b.log" || fail "the board did not stall"
}

s_wrong_reply() {
    fault_run "the board answered '>' (0x3E) where '#' (0x23) was expected" --wrong-reply s3
}

s_no_reply() {
    fault_run "the board did not answer within 3000 ms" --no-reply s2
}

s_short_receive() {
    start_boards b --board plinth0 --usb-gadget --short-receive 1000 || return
    wait_usb $ID 1 || return
    expect_run 39 "a receive from a board that sends too little" \
        "$cli" --receive 102400 -o "$W/block.bin"
    grep -q '^Reason: ' "$W/err" || fail "no reason given: $(cat "$W/err")"
    [ "$ms" -lt 8000 ] || fail "it took $ms ms"
    [ ! -e "$W/block.bin" ] || fail "a block that came short was written"
    stop_boards b
}

# user_command UID GROUPS: USER_COMMAND becomes the prefix that runs a command as an ordinary
# user with its own home (GROUPS: comma-separated group ids, or - for none).
user_command() {
    local home=/tmp/user-$1
    mkdir -p "$home"
    chown "$1:$1" "$home"
    USER_COMMAND=(setpriv --reuid="$1" --regid="$1")
    if [ "$2" = - ]; then
        USER_COMMAND+=(--clear-groups)
    else
        USER_COMMAND+=(--groups="$2")
    fi
    USER_COMMAND+=(env HOME="$home" XDG_RUNTIME_DIR= QUILLON_BOARD_DIR="$home/boards")
}

s_permissions() {
    start_boards b --board plinth0 --usb-gadget || return
    wait_usb $ID 1 || return
    local device node
    device=/sys/bus/usb/devices/$(usb_devices $ID)
    node=$(printf '/dev/bus/usb/%03d/%03d' "$(cat "$device/busnum")" "$(cat "$device/devnum")")
    note "$node: $(stat -c '%A %U:%G' "$node")"
    [ "$(stat -c '%a %G' "$node")" = "660 plugdev" ] || fail "udevd did not apply the rule to $node"
    chmod 755 "$W"
    random_file "$W/image.bin" 40000
    user_command 4242 "$(getent group plugdev | cut -d: -f3)"
    expect_run 0 "a send by a member of plugdev" "${USER_COMMAND[@]}" "$cli" "$W/image.bin" &&
        same_bytes "$W/image.bin" "$W/plinth0.bin" "the bytes sent by the member of plugdev"
    user_command 4243 -
    expect_run 77 "a send by a user outside plugdev" "${USER_COMMAND[@]}" "$cli" --wait 6 "$W/image.bin"
    grep -q "60-quillon.rules" "$W/err" || fail "the refusal did not name the rule: $(cat "$W/err")"
    expect_run 0 "--list by a user outside plugdev" "${USER_COMMAND[@]}" "$cli" --list --json
    grep -qF '"may_open": false' "$W/out" || fail "--list --json showed: $(cat "$W/out")"
    stop_boards b
}

s_tray() {
    start_boards t --board a --usb-gadget dummy_udc.0 --board b --usb-gadget dummy_udc.1 \
        --board c --usb-gadget dummy_udc.2 || return
    wait_usb $ID 3 || return
    random_file "$W/image.bin" 1048577
    expect_run 0 "--all to three gadgets" "$cli" --all --count 3 --wait 30 "$W/image.bin"
    grep -q "3 of 3 boards flashed" "$W/out" "$W/err" || fail "the run said: $(cat "$W/out" "$W/err")"
    local name
    for name in a b c; do
        same_bytes "$W/image.bin" "$W/$name.bin" "the bytes of gadget $name"
    done
    stop_boards t
}

s_os_descriptors() {
    start_boards b --board plinth0 --usb-gadget --usb-id 1209:0001 || return
    wait_usb 1209:0001 1 || return
    local place
    place=usb:$(usb_devices 1209:0001)
    expect_run 0 "--list" "$cli" --list
    grep -qxF "$PRODUCT	$place	Plinth BL 2.1" "$W/out" ||
        fail "a board known by its OS descriptors alone is not listed: $(cat "$W/out" "$W/err")"
    random_file "$W/image.bin" 5000
    expect_run 0 "a send" "$cli" "$W/image.bin" &&
        same_bytes "$W/image.bin" "$W/plinth0.bin" "the bytes"
    stop_boards b
    # The same gadget is no board to Quillon when its id is listed nowhere and it lacks them: a
    # device of another kind with that id is not opened at all.
}

gadget_gone() {
    [ ! -e "$GADGETS/quillon-$1" ] && ! grep -q " /run/quillon-board/quillon-$1 " /proc/mounts &&
        [ -z "$(cat /sys/class/udc/dummy_udc.0/function 2>/dev/null)" ]
}

s_detach() {
    start_boards b --board plinth0 --usb-gadget dummy_udc.0 || return
    wait_usb $ID 1 || return
    stop_boards b
    [ "$rc" -eq 0 ] || fail "quillon-board ended with $rc on SIGTERM"
    gadget_gone plinth0 || fail "SIGTERM left the gadget: $(ls "$GADGETS"; grep functionfs /proc/mounts)"
    wait_for 10 "the device to leave the bus" device_count_is $ID 0

    # SIGTERM in the middle of a send: the board goes, the run fails with 39 and a reason.
    start_boards b --board plinth0 --usb-gadget dummy_udc.0 --rate 4000000 || return
    wait_usb $ID 1 || return
    random_file "$W/image.bin" 16777216
    timeout -k 5 60 "$cli" "$W/image.bin" >"$W/out" 2>"$W/err" &
    local run_pid=$!
    sleep 2.5
    stop_boards b
    [ "$rc" -eq 0 ] || fail "quillon-board ended with $rc on SIGTERM during a send"
    gadget_gone plinth0 || fail "SIGTERM during a send left the gadget"
    wait "$run_pid"
    rc=$?
    [ "$rc" -eq 39 ] || fail "the send ended with $rc when the board went: $(cat "$W/out" "$W/err")"

    # What a killed board leaves is replaced by the next board of that name.
    start_boards b --board plinth0 --usb-gadget dummy_udc.0 || return
    stop_boards b KILL
    [ -e "$GADGETS/quillon-plinth0" ] || note "SIGKILL left no gadget behind"
    start_boards b --board plinth0 --usb-gadget dummy_udc.0 || return
    wait_usb $ID 1 || return
    random_file "$W/image.bin" 3000
    expect_run 0 "a send to the board that replaced a killed one" "$cli" "$W/image.bin"
    stop_boards b
    gadget_gone plinth0 || fail "the replacement left the gadget"
}

s_errors() {
    user_command 4242 -
    expect_run 1 "quillon-board --usb-gadget as an ordinary user" \
        "${USER_COMMAND[@]}" "$board" --board plinth0 --usb-gadget
    grep -q "needs root" "$W/err" || fail "not said that root is needed: $(cat "$W/err")"
    expect_run 1 "an unknown controller" "$board" --board plinth0 --usb-gadget nosuch_udc
    grep -q 'no USB device controller "nosuch_udc".*dummy_udc.0' "$W/err" ||
        fail "not said: $(cat "$W/err")"
    start_boards t --board a --usb-gadget --board b --usb-gadget --board c --usb-gadget || return
    expect_run 1 "a fourth gadget for three controllers" "$board" --board d --usb-gadget
    grep -q "every USB device controller is in use" "$W/err" || fail "not said: $(cat "$W/err")"
    expect_run 1 "a gadget on a controller in use" "$board" --board d --usb-gadget dummy_udc.1
    grep -q 'dummy_udc.1 is in use by the gadget "quillon-b"' "$W/err" ||
        fail "not said: $(cat "$W/err")"
    expect_run 1 "a second program for the same board" "$board" --board a --usb-gadget
    grep -q "another quillon-board serves this board" "$W/err" || fail "not said: $(cat "$W/err")"
    stop_boards t
    gadget_gone a || fail "the gadgets were not removed"
    # Without FunctionFS, then without the gadget framework.
    rmmod usb_f_fs || fail "cannot unload usb_f_fs"
    expect_run 1 "a gadget without FunctionFS" "$board" --board plinth0 --usb-gadget
    grep -q "modprobe usb_f_fs" "$W/err" || fail "not said: $(cat "$W/err")"
    [ ! -e "$GADGETS/quillon-plinth0" ] || fail "a failed start left its gadget"
    rmmod libcomposite || fail "cannot unload libcomposite"
    expect_run 1 "a gadget without libcomposite" "$board" --board plinth0 --usb-gadget
    grep -q "modprobe libcomposite" "$W/err" || fail "not said: $(cat "$W/err")"
    load_module libcomposite
    load_module usb_f_fs
}

# --- throughput ----------------------------------------------------------------------------------

bench() {
    start_boards b --board plinth0 --usb-gadget dummy_udc.0 || return
    wait_usb $ID 1 || return
    "$BUILD/bench/quillon-usb-bench" --bus --sizes "${QUILLON_BENCH_SIZES:-102400,1048576,16777216}"
    stop_boards b
}

# --- running them --------------------------------------------------------------------------------

one() {
    local name=$1
    W=/tmp/scenario-$name
    rm -rf "$W"
    mkdir -p "$W"
    failures=0
    "s_$name"
    [ "$failures" -eq 0 ]
}

# After each scenario: nothing of it stays (processes, gadgets, modules), whatever happened.
tidy() {
    local pid
    if [ -f "/tmp/scenario-$1/pids" ]; then
        while read -r pid; do
            kill -KILL "$pid" 2>/dev/null
        done <"/tmp/scenario-$1/pids"
    fi
    sleep 0.2
    remove_gadgets
    load_module libcomposite
    load_module usb_f_fs
}

# udevd and udevadm do nothing in a chroot unless told that this one is the system.
export SYSTEMD_IGNORE_CHROOT=1
start_udevd() {
    mkdir -p /run/udev/rules.d "$XDG_RUNTIME_DIR" "$QUILLON_BOARD_DIR"
    chmod 700 "$XDG_RUNTIME_DIR" "$QUILLON_BOARD_DIR"
    cp "$source_dir/res/60-quillon.rules" /run/udev/rules.d/
    /lib/systemd/systemd-udevd --daemon >/dev/null 2>&1 || echo "quillon-vm: udevd did not start"
    udevadm trigger --action=add --subsystem-match=usb >/dev/null 2>&1
    udevadm settle --timeout=30
}

main() {
    local start name limit text entry status scenario_start
    start=$(now_ms)
    start_udevd
    for entry in "${SCENARIOS[@]}"; do
        read -r name limit text <<<"$entry"
        if [ $# -gt 0 ] && [[ " $* " != *" $name "* ]]; then
            continue
        fi
        scenario_start=$(now_ms)
        status=1
        {
            echo "== $name: $text"
            timeout -k 5 "$limit" bash "$0" --one "$name" "$BUILD" "$OUT"
            status=$?
            [ "$status" -eq 124 ] && echo "FAIL: the scenario did not end within $limit s"
            echo "== $name took $(($(now_ms) - scenario_start)) ms"
        } >"$OUT/results/$name.log" 2>&1
        tidy "$name"
        if [ "$status" -eq 0 ] && ! grep -q '^FAIL' "$OUT/results/$name.log"; then
            echo pass >"$OUT/results/$name.status"
        elif [ "$status" -eq 77 ]; then
            echo skip >"$OUT/results/$name.status"
        else
            echo fail >"$OUT/results/$name.status"
        fi
        echo "quillon-vm: $(cat "$OUT/results/$name.status") $name ($(($(now_ms) - scenario_start)) ms)"
    done
    echo "quillon-vm: the scenarios took $(($(now_ms) - start)) ms"
}

if [ "${1:-}" = --one ]; then
    name=$2 BUILD=$3 OUT=$4
    set -- --one
else
    BUILD=$1 OUT=$2
    shift 2
fi
board=$BUILD/quillon-board
cli=$BUILD/quillon-cli
gui=$BUILD/quillon
watch=$BUILD/tests/quillon-window-watch

case "${1:-}" in
--one) one "$name" ;;
--bench)
    W=/tmp/bench
    mkdir -p "$W"
    start_udevd
    bench 2>&1 | tee "$OUT/bench.txt"
    ;;
*) main "$@" ;;
esac

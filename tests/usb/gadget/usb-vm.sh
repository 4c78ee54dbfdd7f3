#!/bin/bash
# USB on the Linux kernel's own stack, without hardware: boots Debian's kernel under QEMU (TCG),
# with dummy_hcd joining three USB device controllers to three host ports, and runs the
# scenarios of scenarios.sh there against the build, which the machine sees read-only.
#
#   usb-vm.sh run BUILD_DIR OUT_DIR [SCENARIO...]   boot, run the scenarios (default: all of the
#                                                   table), leave one result per scenario in
#                                                   OUT_DIR/results; fails when the machine did not
#                                                   finish (then with its console's tail)
#   usb-vm.sh result OUT_DIR SCENARIO               the result of one scenario, as a test: its log
#                                                   and exit code 0 (passed), 1 or 77 (skipped)
#   usb-vm.sh bench BUILD_DIR OUT_DIR               boot and measure the throughput of sends and
#                                                   receives through a gadget (quillon-usb-bench)
#
# Needs qemu-system-x86_64, Debian's linux-image-amd64 and busybox-static
# (scripts/install-deps.sh test). QUILLON_VM_SECONDS bounds the machine's whole run (default 780).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../../.." && pwd)

# Modules the machine loads, in this order (with what each needs before it): 9p for the shares,
# the gadget side (configfs, libcomposite, FunctionFS) and dummy_hcd with three controllers.
MODULES="virtio_pci 9pnet_virtio 9p configfs usbcore udc-core dummy_hcd libcomposite usb_f_fs"

usage() {
    sed -n '6,14p' "$0" >&2
    exit 64
}

missing_tools() {
    local kernel
    command -v qemu-system-x86_64 >/dev/null || echo "qemu-system-x86_64 (package qemu-system-x86)"
    kernel=$(newest_kernel)
    [ -n "$kernel" ] || echo "a Debian kernel with its modules (package linux-image-amd64)"
    if ! [ -x /bin/busybox ] || ldd /bin/busybox >/dev/null 2>&1; then
        echo "a static busybox (package busybox-static)"
    fi
}

# The newest kernel in /boot whose modules are installed.
newest_kernel() {
    local image version
    for image in $(find /boot -maxdepth 1 -name 'vmlinuz-*' | sort -rV); do
        version=${image#/boot/vmlinuz-}
        if [ -f "/lib/modules/$version/modules.dep" ] && [ -r "$image" ]; then
            echo "$version"
            return
        fi
    done
}

# Prints the modules of $MODULES with everything they depend on first, each once.
module_order() {
    local version=$1 seen=" " module
    visit() {
        local name=${1//-/_} dependency
        case $seen in *" $name "*) return ;; esac
        seen="$seen$name "
        for dependency in $(modinfo -k "$version" -F depends "$name" | tr ',' ' '); do
            visit "$dependency"
        done
        echo "$name"
    }
    for module in $MODULES; do
        visit "$module"
    done
}

build_initramfs() {
    local version=$1 out=$2 root module file
    root=$(mktemp -d)
    mkdir -p "$root/bin" "$root/lib/modules" "$root/etc" "$root/proc" "$root/sys" "$root/dev"
    cp /bin/busybox "$root/bin/busybox"
    cp "$here/guest-init.sh" "$root/init"
    chmod 755 "$root/init"
    for module in $(module_order "$version"); do
        file=$(modinfo -k "$version" -n "$module")
        case $file in
        *.ko) cp "$file" "$root/lib/modules/$module.ko" ;;
        *.ko.xz) xz -dc "$file" >"$root/lib/modules/$module.ko" ;;
        *.ko.zst) zstd -qdc "$file" >"$root/lib/modules/$module.ko" ;;
        "(builtin)" | builtin:*) continue ;;
        *) echo "module $module is not where modinfo says: $file" >&2; return 1 ;;
        esac
        if [ "$module" = dummy_hcd ]; then
            echo "$module num=3"
        else
            echo "$module"
        fi
    done >"$root/lib/modules/order"
    {
        printf 'BUILD_DIR=%q\nSOURCE_DIR=%q\nOUT_DIR=%q\n' "$BUILD_DIR" "$source_dir" "$OUT_DIR"
        printf 'SCENARIOS=%q\n' "${SCENARIO_LIST[*]}"
        printf 'export QUILLON_BENCH_SIZES=%q\n' "${QUILLON_BENCH_SIZES:-102400,1048576,16777216}"
    } >"$root/etc/quillon-vm.conf"
    (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$out"
    rm -rf "$root"
}

run() {
    [ $# -ge 2 ] || usage
    BUILD_DIR=$(cd "$1" && pwd)
    OUT_DIR=$2
    shift 2
    SCENARIO_LIST=("$@")
    mkdir -p "$OUT_DIR"
    OUT_DIR=$(cd "$OUT_DIR" && pwd)
    rm -rf "$OUT_DIR/results" "$OUT_DIR/skipped" "$OUT_DIR/boot-seconds" "$OUT_DIR/bench.txt"
    mkdir -p "$OUT_DIR/results"
    case "$BUILD_DIR$OUT_DIR$source_dir" in
    *[[:space:]]*)
        echo "the test machine takes no blanks in the paths of the build, the sources or $OUT_DIR" >&2
        exit 1
        ;;
    esac
    local missing
    missing=$(missing_tools)
    if [ -n "$missing" ]; then
        {
            echo "USB tests on the kernel's stack skipped; missing:"
            echo "  ${missing//$'\n'/$'\n'  }"
            echo "install them with: scripts/install-deps.sh test"
        } | tee "$OUT_DIR/skipped"
        exit 77
    fi
    local version seconds status=0 started
    version=$(newest_kernel)
    build_initramfs "$version" "$OUT_DIR/initrd.gz"
    seconds=${QUILLON_VM_SECONDS:-780}
    echo "booting Linux $version under QEMU (TCG) for the USB scenarios (at most $seconds s)"
    started=$(date +%s%N)
    # no_timer_check: under TCG on a busy machine the kernel may find the timer too slow and stop.
    timeout --kill-after=10 "$seconds" qemu-system-x86_64 -accel tcg -m 1024 -smp 1 \
        -display none -monitor none -serial stdio -no-reboot -nodefaults \
        -kernel "/boot/vmlinuz-$version" -initrd "$OUT_DIR/initrd.gz" \
        -append "console=ttyS0 panic=-1 no_timer_check quiet loglevel=3" \
        -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
        -virtfs "local,path=$OUT_DIR,mount_tag=results,security_model=none,multidevs=remap" \
        </dev/null >"$OUT_DIR/console.log" 2>&1 || status=$?
    echo "the machine ran $((($(date +%s%N) - started) / 1000000)) ms; it was ready" \
        "$(cat "$OUT_DIR/boot-seconds" 2>/dev/null || echo '?') s after it started"
    if [ "${SCENARIO_LIST[*]}" = --bench ]; then
        if [ "$status" -ne 0 ] || ! [ -s "$OUT_DIR/bench.txt" ]; then
            echo "the machine ended without measuring (exit $status); the tail of its console:"
            tail -n 40 "$OUT_DIR/console.log"
            exit 1
        fi
        return
    fi
    local name missing_results=0
    for name in $(scenario_names); do
        if [ ${#SCENARIO_LIST[@]} -gt 0 ] && [[ " ${SCENARIO_LIST[*]} " != *" $name "* ]]; then
            continue
        fi
        if [ -f "$OUT_DIR/results/$name.status" ]; then
            echo "$(cat "$OUT_DIR/results/$name.status"): $name"
        else
            echo "no result: $name"
            missing_results=1
        fi
    done
    if [ "$status" -ne 0 ] || [ "$missing_results" -ne 0 ]; then
        if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
            echo "the machine did not finish within $seconds s and was stopped"
        else
            echo "the machine ended without every result (exit $status)"
        fi
        echo "-- the tail of its console ($OUT_DIR/console.log):"
        tail -n 40 "$OUT_DIR/console.log"
        exit 1
    fi
}

# The names of the table in scenarios.sh.
scenario_names() {
    sed -n '/^SCENARIOS=/,/^)/s/^ *"\([a-z0-9_]*\) .*/\1/p' "$here/scenarios.sh"
}

result() {
    [ $# -eq 2 ] || usage
    local out=$1 name=$2
    if [ -f "$out/skipped" ]; then
        cat "$out/skipped"
        exit 77
    fi
    if ! [ -f "$out/results/$name.status" ]; then
        echo "no result for $name: the test machine did not run it (see usb_kernel_machine)"
        [ -f "$out/console.log" ] && tail -n 20 "$out/console.log"
        exit 1
    fi
    cat "$out/results/$name.log" 2>/dev/null || true
    case $(cat "$out/results/$name.status") in
    pass) exit 0 ;;
    skip) exit 77 ;;
    *) exit 1 ;;
    esac
}

[ $# -ge 1 ] || usage
command=$1
shift
case $command in
run) run "$@" ;;
result) result "$@" ;;
bench)
    [ $# -eq 2 ] || usage
    run "$1" "$2" --bench
    ;;
names) scenario_names ;;
*) usage ;;
esac

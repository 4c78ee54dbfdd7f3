#!/bin/busybox sh
# The first program of the test machine (busybox, from the initramfs that usb-vm.sh builds):
# loads the USB modules, mounts the host's root read-only and the results folder writable,
# runs the scenarios in the host's root and powers the machine off.
# shellcheck shell=sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
# shellcheck source=/dev/null
. /etc/quillon-vm.conf

say() {
    echo "quillon-vm: $*" >/dev/console
}
say "kernel up after $(cut -d' ' -f1 /proc/uptime) s"
while read -r module parameters; do
    # shellcheck disable=SC2086
    insmod "/lib/modules/$module.ko" $parameters || say "cannot load $module"
done </lib/modules/order
mount -t configfs none /sys/kernel/config
mkdir -p /host
if ! mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=524288,cache=loose hostroot /host; then
    say "cannot mount the host's root"
    poweroff -f
fi
# The sources and the build stay where they are, also when they lie in a folder that the
# machine's own tmpfs covers below (a clone in /tmp or in /root).
mkdir -p /keep/source /keep/build
mount -o bind "/host$SOURCE_DIR" /keep/source
mount -o bind "/host$BUILD_DIR" /keep/build
for dir in tmp run var/tmp root; do
    mount -t tmpfs tmpfs "/host/$dir"
done
for kept in "source:$SOURCE_DIR" "build:$BUILD_DIR"; do
    mkdir -p "/host${kept#*:}" 2>/dev/null
    if ! mount -o bind "/keep/${kept%%:*}" "/host${kept#*:}"; then
        say "cannot show ${kept#*:} to the scenarios"
        poweroff -f
    fi
done
# The results folder, writable, where the host's programs see it: at its own path (made in the
# tmpfs above when it lies in one of those).
mkdir -p "/host$OUT_DIR" 2>/dev/null
if ! mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288 results "/host$OUT_DIR"; then
    say "cannot mount the results folder at $OUT_DIR"
    poweroff -f
fi
mount -o rbind /dev /host/dev
mkdir -p /dev/shm /dev/pts
mount -t tmpfs tmpfs /dev/shm
ln -s /proc/self/fd /dev/fd
mount -t proc proc /host/proc
mount -o rbind /sys /host/sys
hostname quillon-vm
say "ready after $(cut -d' ' -f1 /proc/uptime) s"
cut -d' ' -f1 /proc/uptime >"/host$OUT_DIR/boot-seconds"
# shellcheck disable=SC2086
chroot /host /bin/bash "$SOURCE_DIR/tests/usb/gadget/scenarios.sh" "$BUILD_DIR" "$OUT_DIR" $SCENARIOS \
    >/dev/console 2>&1
say "done after $(cut -d' ' -f1 /proc/uptime) s"
sync
poweroff -f

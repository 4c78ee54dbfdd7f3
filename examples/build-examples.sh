#!/usr/bin/env bash
# Rebuilds examples/blinky.elf and examples/blinky.hex from blinky.c with Debian's
# arm-none-eabi toolchain (gcc-arm-none-eabi, binutils-arm-none-eabi). blinky.bin, the quick
# start's image, is written by hand and stays as it is.
set -euo pipefail
cd "$(dirname "$0")"
arm-none-eabi-gcc -mcpu=cortex-m4 -mthumb -Os -g0 -ffreestanding -nostdlib -nostartfiles \
    -Wall -Wextra -Werror -T blinky.ld -Wl,--build-id=none -o blinky.elf blinky.c
arm-none-eabi-objcopy -O ihex blinky.elf blinky.hex
arm-none-eabi-objcopy -O binary --gap-fill 0xff blinky.elf /dev/stdout | wc -c |
    xargs printf 'blinky.elf and blinky.hex: a flat image of %s bytes\n'

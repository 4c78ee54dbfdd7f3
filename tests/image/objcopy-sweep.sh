#!/usr/bin/env bash
# Builds the test firmware of tests/image/firmware in many more ways than the image tests do
# (CPUs, newlib or newlib-nano, flash origins after bootloaders, page sizes, link modes, C and
# C++, no linker script) and compares what `quillon --convert` makes of each ELF file with
# `arm-none-eabi-objcopy -O binary --gap-fill` byte for byte, for several fill bytes.
# Usage: tests/image/objcopy-sweep.sh [QUILLON]   (default build/quillon-cli)
# Prints one line per difference and a count at the end; exits 1 when any image differs.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
quillon=${1:-$here/../../build/quillon-cli}
firmware=$here/firmware
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpus=("-mcpu=cortex-m0 -mthumb" "-mcpu=cortex-m3 -mthumb" "-mcpu=cortex-m4 -mthumb"
      "-mcpu=cortex-m7 -mthumb -mfloat-abi=hard -mfpu=fpv5-d16" "-mcpu=arm7tdmi -marm")
origins=(0x08000000 0x08000200 0x08000800 0x08001800 0x08004000 0x08010000)
modes=("" "-Wl,-z,max-page-size=0x10000" "-Wl,--nmagic" "-Wl,--omagic" "-Wl,--build-id"
       "-Wl,-z,separate-code" "-Wl,--gc-sections -ffunction-sections -fdata-sections")
fills=(0xff 0x00 0xa5)

layouts=0
images=0
differ=0
built=0

compare() { # compare NAME ELF
    layouts=$((layouts + 1))
    for fill in "${fills[@]}"; do
        arm-none-eabi-objcopy -O binary --gap-fill "$fill" "$2" "$work/objcopy.bin" 2>/dev/null ||
            continue
        "$quillon" --quiet --allow-large-image --gap-fill "$fill" --convert "$2" \
            -o "$work/quillon.bin" 2>"$work/err"
        images=$((images + 1))
        if ! cmp -s "$work/objcopy.bin" "$work/quillon.bin"; then
            differ=$((differ + 1))
            echo "DIFFERS: $1 with fill $fill: $(cat "$work/err")"
        fi
    done
}

build() { # build NAME COMPILER FLAGS...
    local name=$1 compiler=$2
    shift 2
    # shellcheck disable=SC2068  # the flags are words on purpose
    if $compiler $@ -o "$work/$name.elf" 2>/dev/null; then
        built=$((built + 1))
        compare "$name" "$work/$name.elf"
    fi
}

n=0
for cpu in "${cpus[@]}"; do
    for source in app.c app.cpp; do
        compiler=arm-none-eabi-gcc
        [ "$source" = app.cpp ] && compiler=arm-none-eabi-g++
        for specs in "--specs=nano.specs" ""; do
            for origin in "${origins[@]}"; do
                for mode in "${modes[@]}"; do
                    n=$((n + 1))
                    build "l$n" "$compiler" "$cpu -Os $specs --specs=nosys.specs -T $firmware/app.ld \
                        -Wl,--defsym=FLASH_ORIGIN=$origin $mode $firmware/$source"
                done
            done
            for mode in "${modes[@]}"; do
                n=$((n + 1))
                build "l$n" "$compiler" "$cpu -O2 $specs --specs=nosys.specs $mode $firmware/$source"
            done
        done
    done
    for script in gap lma; do
        n=$((n + 1))
        build "l$n" arm-none-eabi-gcc "$cpu -Os -ffreestanding -nostdlib -nostartfiles \
            -T $firmware/$script.ld $firmware/firmware.c"
    done
done

echo "$layouts layouts built and compared, $images images (fill bytes ${fills[*]}): $differ differ"
[ "$differ" -eq 0 ]

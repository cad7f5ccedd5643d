#!/usr/bin/env bash
# A checked walk of the real U-Boot's flash (QEMU) through a noisy line,
# seed after seed: the simulator's relay flips one bit of a character
# U-Boot sends with the given probability, and the device's crc32 must catch
# every flip that the line checks let through. bench/noise.sh with the real
# U-Boot as its device. Skips (status 0) when QEMU or U-Boot is missing.
#   bench/uboot_noise.sh [build dir] [rate] [bytes] [seeds] [more vexlor options...]
set -euo pipefail
cd "$(dirname "$0")/.."
MONITOR=qemu-uboot exec bench/noise.sh "${1:-build}" "${2:-0.0005}" $((${3:-65536} / 128)) \
  "${4:-20}" "${@:5}"

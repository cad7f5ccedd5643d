#!/usr/bin/env bash
# A firmware-like image (runs of 00 and FF, code: about four bytes in five
# show as "." in the dump's text column, where no look at the line sees a
# flipped digit) through a line with one flipped bit in 50,000 characters at
# 921600 baud, 1024 blocks, 20 seeds: no capture may hold a wrong byte.
#   bench/firmware_noise.sh [build dir] [rate] [blocks] [seeds] [more vexlor options...]
set -euo pipefail
cd "$(dirname "$0")/.."
IMAGE=firmware BAUD=921600 exec bench/noise.sh "${1:-build}" "${2:-0.00002}" "${3:-1024}" \
  "${4:-20}" "${@:5}"

#!/usr/bin/env bash
# A shell's chunks against U-Boot's md.b at the same rate: verified bytes a
# second over one image, both --fast and paced at BAUD (default 115200) by
# the simulator. U-Boot is the simulated one (md.b and crc32 a block); the
# shell is BusyBox's real one behind the simulator's relay, reading the
# image as a file (base64 chunks of up to 4 KiB, each confirmed by crc32).
# Prints each run's time and the shell's rate as a ratio to U-Boot's. With
# NOISE (a rate such as 0.0005) both lines flip bits, for how the two hold
# up. Skips (status 0) when BusyBox is missing.
#   bench/shell_rate.sh [build dir] [bytes]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bytes=${2:-131072}
baud=${BAUD:-115200}
command -v busybox >/dev/null || { echo "skipped: busybox is not installed"; exit 0; }
vexlor=$(cd "$build" && pwd)/vexlor
end=$(printf '%04X' $((bytes - 1)))
work=$(mktemp -d /tmp/vexlor-shell-rate-XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
head -c "$bytes" /dev/urandom >"$work/image.bin"
noise=()
[ -n "${NOISE:-}" ] && noise=(--noise "$NOISE" --seed 1)

# One run: label, capture name, vexlor options...; the device is already on
# $work/tty. Prints the seconds it took.
measure() {
  local label=$1 capture=$2 start stop status=0
  shift 2
  start=$(date +%s.%N)
  (cd "$work" && "$vexlor" "$@" --fast --batch "$work/tty" "$baud" 0 "$end" quiet \
    </dev/null >"$work/$label.out" 2>&1) || status=$?
  stop=$(date +%s.%N)
  cmp -s "$work/$capture" "$work/image.bin" || { echo "$label: status $status, the capture differs"; exit 1; }
  awk -v s="$start" -v e="$stop" 'BEGIN { printf "%.2f", e - s }'
}

"$build/monitor-sim" --link "$work/tty" --image "$work/image.bin" --base 0 --baud "$baud" \
  --dialect uboot --echo "${noise[@]}" </dev/null >/dev/null 2>&1 &
sim=$!
for _ in $(seq 100); do [ -e "$work/tty" ] && break; sleep 0.1; done
uboot=$(measure uboot "md.b_0000_$end.bin" --monitor uboot)
kill "$sim"; wait "$sim" 2>/dev/null || true; rm -f "$work/tty"

"$build/monitor-sim" --relay-command "cd $work && exec busybox sh -i" --link "$work/tty" \
  --baud "$baud" "${noise[@]}" </dev/null >/dev/null 2>&1 &
sim=$!
for _ in $(seq 100); do [ -e "$work/tty" ] && break; sleep 0.1; done
shell=$(measure shell "hexdump_0000_$end.bin" --monitor shell --file "$work/image.bin")
kill "$sim"; wait "$sim" 2>/dev/null || true

awk -v b="$bytes" -v u="$uboot" -v s="$shell" -v r="$baud" 'BEGIN {
  printf "%d bytes at %d baud: U-Boot md.b %.2f s (%.2f KB/s), shell chunks %.2f s (%.2f KB/s): %.2f times\n",
    b, r, u, b / u / 1000, s, b / s / 1000, u / s }'

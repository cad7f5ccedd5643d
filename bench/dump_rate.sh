#!/usr/bin/env bash
# Whole-dump pace against the simulated monitor pacing its output at the
# line's rate: image bytes per second for the default pacing (10 ms after
# each byte sent, 100 ms hand-off polls) and for --fast, at 115200 and
# 921600 baud, each as a share of what the dump text allows at that rate
# (8 lines of 76 characters carry 128 bytes: 2,425 B/s at 115200), and
# --fast with 1% of the dump lines garbled, and --fast on the links people
# have: USB adapters that hold answers back for their latency timer (1 and
# 16 ms) and monitors that lose characters typed less than 0.5 or 2 ms apart,
# each against the best fixed --pace for it; and --fast keeping a map
# (--map), which saves the map after every block. --fast keeps only
# verified blocks (two readings that agree); --read-once shows what single
# readings would cost.
#   bench/dump_rate.sh [build dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
. tools/sim-session.sh

# One run: baud, blocks, label, extra monitor-sim options ("" for none), vexlor options...
measure() {
  local baud=$1 blocks=$2 label=$3 faults=$4
  shift 4
  local work bytes end
  work=$(mktemp -d /tmp/vexlor-rate-XXXXXX)
  bytes=$((blocks * 128))
  head -c "$bytes" /dev/urandom >"$work/image.bin"
  end=$(printf '%X' $((0x20000 + bytes - 1)))
  # shellcheck disable=SC2086
  sim_start "$work" "$work/tty" --image "$work/image.bin" --base 20000 --baud "$baud" $faults
  local start stop
  start=$(date +%s.%N)
  vexlor_start "$work" "$@" --batch "$work/tty" "$baud" 20000 "$end" BB BT DM quiet
  wait "$run_pid" || true
  stop=$(date +%s.%N)
  exec 3>&-
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  local match retries
  cmp -s "$work/DM_20000_$end.bin" "$work/image.bin" && match=yes || match=no
  retries=$(grep -c '^Retry ' "$work/out.txt" || true)
  awk -v s="$start" -v e="$stop" -v n="$bytes" -v b="$baud" -v l="$label" -v m="$match" \
    -v k="$blocks" -v r="$retries" 'BEGIN {
      rate = n / (e - s); limit = 128 * (b / 10) / 608
      printf "%-8s %-30s %5d blocks %7.2f s  %6.3f s/block  %7.0f B/s  %5.1f%% of %5.0f B/s  retries %3d  capture ok: %s\n",
        b, l, k, e - s, (e - s) / k, rate, 100 * rate / limit, limit, r, m }'
  rm -rf "$work"
}

echo "baud     mode                       blocks   time     per block     rate     share of the dump text"
measure 115200 32 "default pacing" ""
measure 115200 256 "--fast" "" --fast
measure 115200 256 "--fast --read-once" "" --fast --read-once
measure 115200 256 "--fast --map" "" --fast --map rate.map
measure 115200 256 "--fast, 1% lines garbled" "--garble 0.01 --seed 5" --fast --timeout 400
measure 115200 256 "--fast, adapter 1 ms" "--latency 1" --fast
measure 115200 256 "--fast, adapter 16 ms" "--latency 16" --fast
measure 115200 256 "--fast, input gap 500 us" "--overrun 500" --fast
measure 115200 256 "--fast --pace 1, gap 500 us" "--overrun 500" --fast --pace 1
measure 115200 256 "--fast, input gap 2000 us" "--overrun 2000" --fast
measure 115200 256 "--fast --pace 5, gap 2000 us" "--overrun 2000" --fast --pace 5
measure 921600 32 "default pacing" ""
measure 921600 1024 "--fast" "" --fast
measure 921600 1024 "--fast --read-once" "" --fast --read-once
measure 921600 1024 "--fast --map" "" --fast --map rate.map
measure 921600 1024 "--fast, adapter 1 ms" "--latency 1" --fast
measure 921600 1024 "--fast, adapter 16 ms" "--latency 16" --fast
measure 921600 1024 "--fast, input gap 500 us" "--overrun 500" --fast
measure 921600 1024 "--fast, input gap 2000 us" "--overrun 2000" --fast
# The real U-Boot under QEMU, where it is installed: ratios between the
# checked modes (its UART is not paced by the baud rate).
if command -v qemu-system-aarch64 >/dev/null; then
  echo
  bench/uboot_rate.sh "$build"
fi

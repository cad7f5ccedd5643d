#!/usr/bin/env bash
# --speed-up against the simulated U-Boot, which paces its output at the
# rate its line runs at and, once switched, passes bytes only between ports
# at the same rate: the same range read --fast at 115200 and with
# --speed-up 921600 (the board switched up after the first prompt and back
# at the end), as a ratio in one run; each capture compared with the
# simulator's memory, and the board's rate after the run asked at 115200.
#   bench/uboot_speed.sh [build dir] [bytes]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bytes=${2:-262144}
vexlor=$(cd "$build" && pwd)/vexlor
sim=$(cd "$build" && pwd)/monitor-sim
last=$(printf '%X' $((0x100000 + bytes - 1)))

# One run: label, vexlor options. Leaves the seconds in $secs.
run() {
  local label=$1 work start stop status=0 match=no sim_pid
  shift
  work=$(mktemp -d /tmp/vexlor-uboot-speed-XXXXXX)
  "$sim" --dialect uboot --echo --baud 115200 --link "$work/tty" </dev/null >/dev/null 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do [ -e "$work/tty" ] && break; sleep 0.1; done
  start=$(date +%s.%N)
  (cd "$work" && "$vexlor" --monitor uboot --batch --fast "$@" "$work/tty" 115200 100000 "$last" \
    quiet </dev/null >out.txt 2>&1) || status=$?
  stop=$(date +%s.%N)
  "$sim" --write-pattern "$work/expected.bin" 100000 "$last"
  cmp -s "$work/md.b_100000_$last.bin" "$work/expected.bin" && match=yes
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  secs=$(awk -v s="$start" -v e="$stop" 'BEGIN { printf "%.2f", e - s }')
  printf '%-32s %8d bytes %8.2f s  status %d  capture ok: %s\n' "$label" "$bytes" "$secs" \
    "$status" "$match"
  grep -E '^(Line|The board|Error)' "$work/out.txt" || true
  rm -rf "$work"
}

echo "Simulated U-Boot paced at its line's rate"
run "--fast at 115200"
slow=$secs
run "--fast --speed-up 921600" --speed-up 921600
fast=$secs
awk -v s="$slow" -v f="$fast" 'BEGIN { printf "--speed-up 921600: %.2f times as fast as 115200\n", s / f }'

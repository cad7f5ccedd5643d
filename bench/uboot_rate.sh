#!/usr/bin/env bash
# Whole-dump pace against the real U-Boot under QEMU: image bytes per
# second over the first 256 KiB of its flash for the checked modes, each as
# a ratio to --fast. QEMU's UART does not pace by the baud rate, so only the
# ratios between the modes mean anything. U-Boot's crc32 confirms every
# block unless --no-checksum is given: the two --no-checksum lines show what
# the checksums cost against single readings, and what they save against
# the second readings a monitor without them gets. The last line runs --fast
# through the simulator's relay on a clean line, for what the relay itself
# costs. Skips when QEMU or U-Boot is missing.
#   bench/uboot_rate.sh [build dir] [bytes]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bytes=${2:-262144}
. bench/uboot_session.sh

uboot_bench_start "$bytes" "U-Boot lines skipped"

fast_rate=
# One run: label, port ("relay" for the relay), vexlor options...
measure() {
  local label=$1 port=$2
  shift 2
  local work start stop status=0
  work=$(mktemp -d /tmp/vexlor-uboot-rate-XXXXXX)
  if [ "$port" = relay ]; then
    relay_start "$work" "$work/tty"
    port=$work/tty
  fi
  start=$(date +%s.%N)
  (cd "$work" && "$vexlor" --monitor uboot --batch "$@" "$port" 115200 0 "$end" quiet \
    </dev/null >out.txt 2>&1) || status=$?
  stop=$(date +%s.%N)
  [ -n "$relay_pid" ] && relay_stop && relay_pid=
  local match=no retries rate
  cmp -s "$work/md.b_0000_$end.bin" "$boot/image.bin" && match=yes
  retries=$(grep -c '^Retry ' "$work/out.txt" || true)
  rate=$(awk -v s="$start" -v e="$stop" -v n="$bytes" 'BEGIN { printf "%.0f", n / (e - s) }')
  [ -z "$fast_rate" ] && fast_rate=$rate
  awk -v s="$start" -v e="$stop" -v r="$rate" -v f="$fast_rate" -v l="$label" -v m="$match" \
    -v k="$((bytes / 128))" -v t="$retries" -v x="$status" 'BEGIN {
      printf "%-34s %5d blocks %7.2f s  %7.0f B/s  %5.2f x --fast  retries %3d  status %d  capture ok: %s\n",
        l, k, e - s, r, r / f, t, x, m }'
  rm -rf "$work"
}

echo "U-Boot under QEMU, mode               blocks    time       rate    ratio"
measure "--fast" "$uboot_pty" --fast
measure "--fast --read-once" "$uboot_pty" --fast --read-once
measure "--fast --no-checksum --read-once" "$uboot_pty" --fast --no-checksum --read-once
measure "--fast --no-checksum" "$uboot_pty" --fast --no-checksum
measure "--fast --reread" "$uboot_pty" --fast --reread
measure "--fast through the relay (clean)" relay --fast

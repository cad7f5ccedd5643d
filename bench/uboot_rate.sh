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
# The second table runs through the relay paced at 115200 baud, as a real
# line is: md.b, md.l and md.q over the image's first PACED bytes (default
# 256 KiB, all code: nothing uniform), and over 4 MiB from 0 (the image and
# then zeros) --fast as it is now (md.q, uniform spans skipped) against md.b
# read block by block, whose time for 4 MiB is its time a block over the
# image times the blocks of 4 MiB (a block of zeros costs md.b what a block of
# code does). BASELINE=path/to/an/older/vexlor measures that md.b with it
# (the program as it was before md.q, uniform spans and eight blocks to a
# command); without it the md.b line of this build stands in. The last run goes through a USB adapter's 16 ms latency timer
# as well, and md.q's rate is given as a share of what its text allows
# (8 lines of 63 characters for 128 bytes). Set PACED=0 to leave the second
# table out.
#   [BASELINE=older vexlor] [PACED=bytes] bench/uboot_rate.sh [build dir] [bytes]
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
measure "--fast --width b --no-skip-blank" "$uboot_pty" --fast --width b --no-skip-blank
measure "--fast --width b --read-once" "$uboot_pty" --fast --width b --no-skip-blank --read-once
measure "--fast --no-checksum --read-once" "$uboot_pty" --fast --width b --no-checksum --read-once
measure "--fast --no-checksum" "$uboot_pty" --fast --width b --no-checksum
measure "--fast --reread" "$uboot_pty" --fast --width b --no-skip-blank --reread
measure "--fast (md.q, skip-blank)" "$uboot_pty" --fast
measure "--fast through the relay (clean)" relay --fast --width b --no-skip-blank

paced=${PACED:-262144}
[ "$paced" = 0 ] && exit 0
# One run through the relay paced at 115200: label, bytes from 0, options.
# Prints the seconds and leaves them in $secs.
paced_run() {
  local label=$1 size=$2
  shift 2
  local work last start stop status=0 match=no
  work=$(mktemp -d /tmp/vexlor-uboot-paced-XXXXXX)
  last=$(printf '%04X' $((size - 1)))
  relay_start "$work" "$work/tty" --baud 115200 ${relay_extra:-}
  start=$(date +%s.%N)
  (cd "$work" && "${bin:-$vexlor}" --monitor uboot --batch "$@" "$work/tty" 115200 0 "$last" \
    quiet </dev/null >out.txt 2>&1) || status=$?
  stop=$(date +%s.%N)
  relay_stop
  relay_pid=
  head -c "$size" "$uboot_image" >"$work/expected.bin"
  truncate -s "$size" "$work/expected.bin"
  cmp -s "$work/md.b_0000_$last.bin" "$work/expected.bin" && match=yes
  secs=$(awk -v s="$start" -v e="$stop" 'BEGIN { printf "%.2f", e - s }')
  printf '%-40s %8d bytes %8.2f s  %6.4f s a block  status %d  capture ok: %s\n' "$label" \
    "$size" "$secs" "$(awk -v t="$secs" -v n="$size" 'BEGIN { printf "%.4f", t / (n / 128) }')" \
    "$status" "$match"
  grep '^Uniform:' "$work/out.txt" || true
  rm -rf "$work"
}

echo
echo "Through the relay paced at 115200 baud"
if [ -n "${BASELINE:-}" ]; then
  bin=$BASELINE paced_run "--fast, $BASELINE (md.b, block by block)" "$paced" --fast
  base_secs=$secs
fi
paced_run "--fast --width b --no-skip-blank (md.b)" "$paced" --fast --width b --no-skip-blank
b_secs=$secs
base_secs=${base_secs:-$b_secs}
paced_run "--fast --width l --no-skip-blank (md.l)" "$paced" --fast --width l --no-skip-blank
l_secs=$secs
paced_run "--fast --no-skip-blank (md.q)" "$paced" --fast --no-skip-blank
q_secs=$secs
paced_run "--fast (md.q, skip-blank), 4 MiB" 4194304 --fast
all_secs=$secs
relay_extra="--latency 16"
paced_run "--fast --no-skip-blank (md.q), 16 ms adapter" "$paced" --fast --no-skip-blank
relay_extra=
lat_secs=$secs
awk -v o="$base_secs" -v b="$b_secs" -v l="$l_secs" -v q="$q_secs" -v a="$all_secs" -v t="$lat_secs" \
  -v n="$paced" 'BEGIN {
  printf "md.q against md.b over the image: %.2f times as fast; md.l: %.2f times\n", b / q, b / l
  printf "4 MiB: md.b block by block %.0f s (%.4f s a block x 32768), --fast now %.0f s: %.2f times as fast\n",
    o / (n / 128) * 32768, o / (n / 128), a, o / (n / 128) * 32768 / a
  # md.q prints 8 lines of 63 characters (line end included) for 128 bytes.
  text = n / 128 * 8 * 63 * 10 / 115200
  printf "md.q share of its text: %.1f%% on a clean line, %.1f%% through a 16 ms adapter\n",
    100 * text / q, 100 * text / t }'

#!/usr/bin/env bash
# --speed-up against the simulated U-Boot, which paces its output at the
# rate its line runs at and, once switched, passes bytes only between ports
# at the same rate: the same range read --fast at 115200 and with
# --speed-up 921600 (the board switched up after the first prompt and back
# at the end), as a ratio in one run; each capture compared with the
# simulator's memory; "the board is back at 115200 bps" is said only when
# its prompt answered at 115200, which the simulated line carries only when
# the board runs at that rate again.
# Then --verify of a capture with one byte changed, against reading it.
#   [SPEED=0] [VERIFY=bytes|0] bench/uboot_speed.sh [build dir] [bytes]
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
if [ "${SPEED:-1}" != 0 ]; then
  run "--fast at 115200"
  slow=$secs
  run "--fast --speed-up 921600" --speed-up 921600
  fast=$secs
  awk -v s="$slow" -v f="$fast" 'BEGIN { printf "--speed-up 921600: %.2f times as fast as 115200\n", s / f }'
fi

# --verify: VERIFY bytes (default 4 MiB; 0 leaves it out) of an image that is
# U-Boot's own followed by zeros, read --fast at 115200, one byte of the
# capture changed, and the capture verified: the time of each, and the block
# found.
verify_bytes=${VERIFY:-4194304}
[ "$verify_bytes" = 0 ] && exit 0
image=/usr/lib/u-boot/qemu_arm64/u-boot.bin
work=$(mktemp -d /tmp/vexlor-uboot-verify-XXXXXX)
if [ -r "$image" ]; then head -c "$verify_bytes" "$image" >"$work/image.bin"; fi
truncate -s "$verify_bytes" "$work/image.bin"
vlast=$(printf '%04X' $((verify_bytes - 1)))
"$sim" --dialect uboot --echo --baud 115200 --image "$work/image.bin" --link "$work/tty" \
  </dev/null >/dev/null 2>&1 &
vsim=$!
for _ in $(seq 100); do [ -e "$work/tty" ] && break; sleep 0.1; done
timed() {  # label, vexlor options...: leaves the seconds in $secs and the status in $vstatus
  local label=$1 start stop
  shift
  vstatus=0
  start=$(date +%s.%N)
  (cd "$work" && "$vexlor" --monitor uboot --batch "$@" "$work/tty" 115200 0 "$vlast" quiet \
    </dev/null >out.txt 2>&1) || vstatus=$?
  stop=$(date +%s.%N)
  secs=$(awk -v s="$start" -v e="$stop" 'BEGIN { printf "%.2f", e - s }')
  printf '%-32s %8d bytes %8.2f s  status %d\n' "$label" "$verify_bytes" "$secs" "$vstatus"
}
echo
timed "--fast (read)" --fast
read_secs=$secs
cmp -s "$work/md.b_0000_$vlast.bin" "$work/image.bin" && echo "capture ok: yes" || echo "capture ok: NO"
printf '\x5a' | dd of="$work/md.b_0000_$vlast.bin" bs=1 seek=$((verify_bytes / 2 + 0x123)) \
  conv=notrunc 2>/dev/null
timed "--fast --verify, one byte changed" --fast --verify
grep -E '^(Differs|Verified)' "$work/out.txt" || true
awk -v r="$read_secs" -v v="$secs" 'BEGIN { printf "--verify took %.1f%% of the reading\n", 100 * v / r }'
kill "$vsim" 2>/dev/null || true
wait "$vsim" 2>/dev/null || true
rm -rf "$work"

#!/usr/bin/env bash
# A checked walk of the real U-Boot's flash (QEMU) through a noisy line,
# seed after seed: the simulator's relay flips one bit of a character
# U-Boot sends with the given probability, and the device's crc32 must catch
# every flip that the line checks let through. Each run must end with status
# 0 and an exact capture (the firmware image's first bytes), or with status
# 1/3 and no wrong block marked read. Prints one line a seed and a summary.
# Skips (status 0) when QEMU or U-Boot is missing.
#   bench/uboot_noise.sh [build dir] [rate] [bytes] [seeds] [more vexlor options...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
rate=${2:-0.0005}
bytes=${3:-65536}
seeds=${4:-20}
shift $(($# < 4 ? $# : 4))
. bench/uboot_session.sh

uboot_bench_start "$bytes" "skipped"

bad=0
exact=0
for seed in $(seq 1 "$seeds"); do
  work=$(mktemp -d /tmp/vexlor-uboot-noise-XXXXXX)
  relay_start "$work" "$work/tty" --noise "$rate" --seed "$seed"
  status=0
  start=$(date +%s.%N)
  (cd "$work" && "$vexlor" --monitor uboot --fast --batch "$@" "$work/tty" 115200 0 "$end" quiet \
    </dev/null >out.txt 2>&1) || status=$?
  stop=$(date +%s.%N)
  relay_stop
  capture=$work/md.b_0000_$end.bin
  size=0
  [ -f "$capture" ] && size=$(stat -c %s "$capture")
  # Only the bytes the capture holds are compared: a run that ended early
  # keeps every block before the one that failed.
  wrong=$(cmp -l -n "$size" "$capture" "$boot/image.bin" 2>/dev/null | wc -l || true)
  retries=$(grep -c '^Retry ' "$work/out.txt" || true)
  sums=$(grep -c "^Retry .*checksum" "$work/out.txt" || true)
  verdict=ok
  if [ "$wrong" -eq 0 ] && [ "$size" -eq "$bytes" ]; then
    exact=$((exact + 1))
    capture=exact
  elif [ "$wrong" -eq 0 ]; then
    capture="$((size / 128)) blocks"
  else
    capture="$wrong wrong"
    [ "$status" -eq 0 ] && verdict="WRONG BYTES WITH STATUS 0" && bad=$((bad + 1))
  fi
  printf 'seed %2d  status %d  capture %-11s  retries %3d (checksum %3d)  %6.2f s  %s\n' \
    "$seed" "$status" "$capture" "$retries" "$sums" \
    "$(awk -v s="$start" -v e="$stop" 'BEGIN { print e - s }')" "$verdict"
  rm -rf "$work"
done
echo "noise $rate, $bytes bytes of U-Boot's flash: $exact of $seeds captures exact; $bad runs ended with status 0 and a wrong byte"
[ "$bad" -eq 0 ]

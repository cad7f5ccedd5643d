#!/usr/bin/env bash
# Soak: a long checked walk through a faulty link. Walks BLOCKS blocks
# (default 2000) with --fast against the simulated monitor at 115200 baud with
# every fault of a cheap link switched on, checks the capture against the
# image, and reports time, blocks, retries, mismatches (0 expected), the peak
# resident memory after 100 blocks and at the end (flat, under 10 MB), and the
# CPU time used per second of wall time. The link is as nasty as real ones
# get: an adapter that holds answers back 16 ms, a monitor that is deaf while
# it dumps, bits flipped by noise, and every fault of a cheap link. Blocks are
# read twice while the line shows trouble (on this line, nearly always), so
# that a flipped digit of a byte the text column cannot show is caught too.
# Not part of CI: about 5 minutes.
#   bench/soak.sh [build dir] [blocks]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
blocks=${2:-2000}
. tools/sim-session.sh

work=$(mktemp -d /tmp/vexlor-soak-XXXXXX)
bytes=$((blocks * 128))
head -c "$bytes" /dev/urandom >"$work/image.bin"
end=$(printf '%X' $((0x100000 + bytes - 1)))
sim_start "$work" "$work/tty" --image "$work/image.bin" --base 100000 --baud 115200 --seed 2 \
  --drop-chars 0.0001 --double-lines 0.0015 --flip-digit 0.0015 --garble 0.0015 \
  --cut-lines 0.0015 --overrun 300 --overrun-rate 0.0015 --reset-every 301 --drop-prompt 0.0015 \
  --noise 0.0002 --latency 16 --deaf-while-dumping

start=$(date +%s.%N)
vexlor_start "$work" --fast --batch --retries 8 --timeout 400 \
  "$work/tty" 115200 00100000 "$(printf '%08X' $((0x100000 + bytes - 1)))" BS ST DB quiet
# The start address has eight characters: a four-digit bank, all 32 address bits checked.
capture="$work/DB_100000_$end.bin"
tick=$(getconf CLK_TCK)
rss100="" rss_last="" cpu_last=0
while kill -0 "$run_pid" 2>/dev/null; do
  if [ -r "/proc/$run_pid/status" ]; then
    rss=$(awk '/^VmHWM/ { print $2 }' "/proc/$run_pid/status" 2>/dev/null || true)
    cpu=$(awk '{ print $14 + $15 }' "/proc/$run_pid/stat" 2>/dev/null || true)
    [ -n "$rss" ] && rss_last=$rss
    [ -n "$cpu" ] && cpu_last=$cpu
    size=$(stat -c %s "$capture" 2>/dev/null || echo 0)
    [ -z "$rss100" ] && [ "$size" -ge $((100 * 128)) ] && rss100=$rss_last
  fi
  sleep 0.2
done
status=0
wait "$run_pid" || status=$?
stop=$(date +%s.%N)
exec 3>&-

retries=$(grep -c '^Retry ' "$work/out.txt" || true)
mismatches=$(cmp -l "$capture" "$work/image.bin" 2>/dev/null | wc -l)
size=$(stat -c %s "$capture" 2>/dev/null || echo 0)
awk -v s="$start" -v e="$stop" -v k="$blocks" -v r="$retries" -v m="$mismatches" -v z="$size" \
  -v n="$bytes" -v a="${rss100:-0}" -v b="${rss_last:-0}" -v c="$cpu_last" -v t="$tick" \
  -v x="$status" 'BEGIN {
    printf "time %.1f s, %d blocks (%.3f s a block), exit status %d\n", e - s, k, (e - s) / k, x
    printf "retries %d, capture %d of %d bytes, mismatching bytes %d\n", r, z, n, m
    printf "peak RSS: %.1f MB after 100 blocks, %.1f MB at the end\n", a / 1024, b / 1024
    printf "CPU: %.3f s per second of wall time\n", (c / t) / (e - s) }'
[ "$status" -eq 0 ] && [ "$mismatches" -eq 0 ] && [ "$size" -eq "$bytes" ]

#!/usr/bin/env bash
# Times a whole dump against the simulated monitor at 115200 baud: 64 blocks
# (8 KiB) with the echo off. Each block costs the three commands' bytes at one
# per 10 ms (20 bytes, 200 ms) plus the hand-off's 100 ms polling, so about
# 0.3 s a block is the expected pace; the target is under 0.4 s a block.
#   bench/dump_rate.sh [build dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d /tmp/vexlor-rate-XXXXXX)
head -c 8192 /dev/urandom >"$work/image.bin"
"$build/monitor-sim" --image "$work/image.bin" --base 20000 --baud 115200 --link "$work/tty" \
  </dev/null >/dev/null 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -e "$work/tty" ] && break; sleep 0.1; done
mkfifo "$work/keys"
vexlor=$PWD/$build/vexlor
cd "$work"
start=$(date +%s.%N)
"$vexlor" "$work/tty" 115200 20000 21FFF BB BT DM quiet <keys >out.txt &
run=$!
exec 3>keys
printf s >&3
for _ in $(seq 1200); do grep -q "Done. " out.txt && break; sleep 0.05; done
end=$(date +%s.%N)
printf t >&3
wait $run
cmp -s DM_20000_21FFF.bin image.bin && match=yes || match=no
awk -v s="$start" -v e="$end" -v m="$match" \
  'BEGIN { printf "64 blocks in %.2f s: %.3f s a block (target < 0.4); capture matches: %s\n", e - s, (e - s) / 64, m }'

#!/usr/bin/env bash
# A checked --fast walk through a noisy line, seed after seed: the simulated
# monitor flips one bit of a character sent with the given probability. Each
# run must end with status 0 and an exact capture, or with status 1/3 and no
# wrong block marked read; a run with status 0 and a wrong byte is the
# residual risk of single readings. Prints one line a seed and a summary,
# with the time against a clean line's.
#   bench/noise.sh [build dir] [rate] [blocks] [seeds] [more vexlor options...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
rate=${2:-0.0005}
blocks=${3:-256}
seeds=${4:-20}
shift $(($# < 4 ? $# : 4))
. tools/sim-session.sh

# One run: seed ("" for a clean line); prints "status wrong-bytes seconds".
run() {
  local seed=$1 work bytes end noise=""
  shift
  work=$(mktemp -d /tmp/vexlor-noise-XXXXXX)
  bytes=$((blocks * 128))
  head -c "$bytes" /dev/urandom >"$work/image.bin"
  end=$(printf '%X' $((0x20000 + bytes - 1)))
  [ -n "$seed" ] && noise="--noise $rate --seed $seed"
  # shellcheck disable=SC2086
  "$build/monitor-sim" --link "$work/tty" --image "$work/image.bin" --base 20000 --baud 115200 \
    $noise </dev/null >/dev/null 2>&1 &
  local sim=$!
  for _ in $(seq 100); do [ -e "$work/tty" ] && break; sleep 0.1; done
  local start stop status=0
  start=$(date +%s.%N)
  (cd "$work" && "$(cd "$OLDPWD" && cd "$build" && pwd)/vexlor" --fast --batch "$@" "$work/tty" \
    115200 20000 "$end" BB BT DM quiet </dev/null >out.txt 2>&1) || status=$?
  stop=$(date +%s.%N)
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  local wrong
  wrong=$(cmp -l "$work/DM_20000_$end.bin" "$work/image.bin" 2>/dev/null | wc -l || true)
  echo "$status $wrong $(awk -v s="$start" -v e="$stop" 'BEGIN { printf "%.2f", e - s }')"
  rm -rf "$work"
}

clean=$(run "" "$@" | awk '{ print $3 }')
echo "clean line: $blocks blocks in $clean s"
bad=0
total=0
for seed in $(seq 1 "$seeds"); do
  read -r status wrong seconds < <(run "$seed" "$@")
  verdict=ok
  [ "$status" -eq 0 ] && [ "$wrong" -gt 0 ] && verdict="WRONG BYTES WITH STATUS 0" && bad=$((bad + 1))
  printf 'seed %2d  status %d  wrong bytes %5d  %7.2f s  %s\n' "$seed" "$status" "$wrong" "$seconds" "$verdict"
  total=$(awk -v t="$total" -v s="$seconds" 'BEGIN { print t + s }')
done
awk -v t="$total" -v n="$seeds" -v c="$clean" -v b="$bad" -v r="$rate" 'BEGIN {
  printf "noise %s: %d of %d runs ended with status 0 and a wrong byte; mean time %.2f s, %.2f times the clean line'"'"'s\n", r, b, n, t / n, t / n / c }'

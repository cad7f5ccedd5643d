#!/usr/bin/env bash
# A checked --fast walk through a noisy line, seed after seed: the simulated
# monitor flips one bit of a character sent with the given probability. Each
# run must end with status 0 and an exact capture, or with status 1/3 and
# only right bytes in what it captured: a wrong byte in any capture is a
# block kept that was not the device's. Prints one line a seed and a
# summary, with the time against a clean line's and the share of runs that
# completed.
#   bench/noise.sh [build dir] [rate] [blocks] [seeds] [more vexlor options...]
# BAUD (default 115200) sets the line's rate; IMAGE=firmware serves an image
# like a firmware's (runs of 00 and FF, code: most bytes show as "."),
# else random bytes; FIRST (default 20000) the first address (1F000 and
# 1024 blocks cross two bank ends); MONITOR=uboot plays U-Boot's console;
# MONITOR=qemu-uboot puts the simulator's relay, with the noise, in front of
# the real U-Boot under QEMU and reads its flash from 0 (the image is
# u-boot.bin; skipped, with status 0, where QEMU or U-Boot is missing);
# MONITOR=shell relays BusyBox's shell reading the image as a file.
# A run that ended early, kept a wrong byte or raised the pace leaves its
# output and session log in /tmp/vexlor-noise-kept.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
rate=${2:-0.0005}
blocks=${3:-256}
seeds=${4:-20}
shift $(($# < 4 ? $# : 4))
baud=${BAUD:-115200}
. tools/sim-session.sh
if [ "${MONITOR:-default}" = qemu-uboot ]; then
  . bench/uboot_session.sh
  uboot_bench_start $((blocks * 128)) "skipped"
  FIRST=0
elif [ "${MONITOR:-default}" = shell ]; then
  FIRST=0
fi

# One run: seed ("" for a clean line); prints "status wrong-bytes seconds
# pace", the pace the run ended with (ms a byte).
run() {
  local seed=$1 work bytes end noise="" first=${FIRST:-20000}
  shift
  work=$(mktemp -d /tmp/vexlor-noise-XXXXXX)
  bytes=$((blocks * 128))
  end=$(printf '%X' $((0x$first + bytes - 1)))
  if [ "${MONITOR:-default}" = qemu-uboot ]; then
    cp "$boot/image.bin" "$work/image.bin"
    end=$(printf '%04X' $((bytes - 1)))
  elif [ "${IMAGE:-}" = firmware ]; then
    "$build/monitor-sim" --seed "${seed:-0}" --write-firmware "$work/image.bin" "$first" "$end"
  else
    head -c "$bytes" /dev/urandom >"$work/image.bin"
  fi
  [ -n "$seed" ] && noise="--noise $rate --seed $seed"
  local device="" monitor="" words="BB BT DM" capture="DM_${first}_$end.bin"
  if [ "${MONITOR:-default}" = shell ]; then
    monitor="--monitor shell --file $work/image.bin"
    words=""
    capture="hexdump_$(printf '%04X' $((0x$first)))_$end.bin"
  elif [ "${MONITOR:-default}" != default ]; then
    device="--dialect uboot --echo"
    monitor="--monitor uboot"
    words=""
    capture="md.b_$(printf '%04X' $((0x$first)))_$end.bin"
  fi
  local sim
  if [ "${MONITOR:-default}" = qemu-uboot ]; then
    # shellcheck disable=SC2086
    relay_start "$work" "$work/tty" $noise
    sim=$relay_pid
  elif [ "${MONITOR:-default}" = shell ]; then
    # shellcheck disable=SC2086
    "$build/monitor-sim" --relay-command "cd $work && exec busybox sh -i" --link "$work/tty" \
      --baud "$baud" $noise </dev/null >/dev/null 2>&1 &
    sim=$!
    for _ in $(seq 100); do [ -e "$work/tty" ] && break; sleep 0.1; done
  else
    # shellcheck disable=SC2086
    "$build/monitor-sim" --link "$work/tty" --image "$work/image.bin" --base "$first" \
      --baud "$baud" $device $noise </dev/null >/dev/null 2>&1 &
    sim=$!
    for _ in $(seq 100); do [ -e "$work/tty" ] && break; sleep 0.1; done
  fi
  local start stop status=0
  start=$(date +%s.%N)
  # shellcheck disable=SC2086
  (cd "$work" && "$(cd "$OLDPWD" && cd "$build" && pwd)/vexlor" $monitor --fast --batch --log session.log "$@" \
    "$work/tty" "$baud" "$first" "$end" $words quiet </dev/null >out.txt 2>&1) || status=$?
  stop=$(date +%s.%N)
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  local wrong pace
  # A capture that ended early is compared as far as it goes.
  wrong=$(cmp -l "$work/$capture" "$work/image.bin" 2>/dev/null | wc -l || true)
  pace=$(grep -o 'Pacing [a-z]* to [0-9]* ms' "$work/out.txt" | tail -n 1 | awk '{ print $4 }' || true)
  echo "$status $wrong $(awk -v s="$start" -v e="$stop" 'BEGIN { printf "%.2f", e - s }') ${pace:-0}"
  # A run worth a look keeps what it printed and its session log.
  if [ "$status" -ne 0 ] || [ "$wrong" -gt 0 ] || [ "${pace:-0}" -gt 0 ]; then
    mkdir -p /tmp/vexlor-noise-kept
    cp "$work/out.txt" "/tmp/vexlor-noise-kept/seed-${seed:-clean}.out"
    cp "$work/session.log" "/tmp/vexlor-noise-kept/seed-${seed:-clean}.log" 2>/dev/null || true
  fi
  rm -rf "$work"
}

clean=$(run "" "$@" | awk '{ print $3 }')
echo "clean line: $blocks blocks in $clean s"
bad=0
early=0
paced=0
total=0
for seed in $(seq 1 "$seeds"); do
  read -r status wrong seconds pace < <(run "$seed" "$@")
  verdict=ok
  [ "$status" -ne 0 ] && early=$((early + 1))
  if [ "$wrong" -gt 0 ]; then
    bad=$((bad + 1))
    verdict="WRONG BYTES IN THE CAPTURE"
    [ "$status" -eq 0 ] && verdict="WRONG BYTES WITH STATUS 0"
  fi
  [ "$pace" -gt 0 ] && paced=$((paced + 1))
  printf 'seed %2d  status %d  wrong bytes %5d  %7.2f s  pace at the end %2d ms  %s\n' "$seed" \
    "$status" "$wrong" "$seconds" "$pace" "$verdict"
  total=$(awk -v t="$total" -v s="$seconds" 'BEGIN { print t + s }')
done
awk -v t="$total" -v n="$seeds" -v c="$clean" -v b="$bad" -v r="$rate" -v e="$early" -v p="$paced" 'BEGIN {
  printf "noise %s: %d of %d runs held a wrong byte; %d of %d completed; %d ended with a pace above 0; mean time %.2f s, %.2f times the clean line'"'"'s\n", r, b, n, n - e, n, p, t / n, t / n / c }'
[ "$bad" -eq 0 ]

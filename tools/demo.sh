#!/usr/bin/env bash
# A real dump against the simulated monitor: builds everything, starts
# monitor-sim with a 4 KiB image at 10000, and runs vexlor against it in the
# foreground. Press s (or the blank) to start the dump, t when it is done.
# Afterwards the capture file is compared with the image.
# Without a terminal on standard input the keys are typed for you.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target vexlor monitor-sim >/dev/null

work=$(mktemp -d /tmp/vexlor-demo-XXXXXX)
head -c 4096 /dev/urandom >"$work/image.bin"
build/monitor-sim --image "$work/image.bin" --base 10000 --baud 115200 --echo \
  --link "$work/ttyDEMO" </dev/null >"$work/sim.out" 2>"$work/sim.err" &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -e "$work/ttyDEMO" ] && break; sleep 0.1; done
[ -e "$work/ttyDEMO" ] || { echo "monitor-sim did not start"; cat "$work/sim.err"; exit 1; }

vexlor=$PWD/build/vexlor
capture="$work/DM_10000_10FFF.bin"
cd "$work"
if [ -t 0 ]; then
  echo "Simulated monitor on $work/ttyDEMO. Press s to start, t to end."
  "$vexlor" "$work/ttyDEMO" 115200 10000 10FFF BB BT DM
else
  mkfifo keys
  "$vexlor" "$work/ttyDEMO" 115200 10000 10FFF BB BT DM quiet <keys &
  run=$!
  exec 3>keys
  printf s >&3
  for _ in $(seq 600); do
    [ "$(stat -c %s "$capture" 2>/dev/null || echo 0)" -ge 4096 ] && break
    sleep 0.1
  done
  printf t >&3
  wait $run
  exec 3>&-
fi

echo
size=$(stat -c %s "$capture" 2>/dev/null || echo 0)
echo "capture: $capture ($size bytes), image: 4096 bytes"
if cmp -s "$capture" "$work/image.bin"; then
  echo "the capture matches the image"
else
  echo "the capture differs from the image: $(cmp "$capture" "$work/image.bin" 2>&1 | head -1)"
  exit 1
fi

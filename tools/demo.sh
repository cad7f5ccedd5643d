#!/usr/bin/env bash
# A real dump against the simulated monitor: builds everything, starts
# monitor-sim with a 4 KiB image at 10000, and runs vexlor against it in the
# foreground. Press s (or the blank) to start the dump, t when it is done.
# Afterwards the capture file is compared with the image.
# Without a terminal on standard input the keys are typed for you.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build
. tools/sim-session.sh
cmake --preset release >/dev/null
cmake --build --preset release --target vexlor monitor-sim >/dev/null

work=$(mktemp -d /tmp/vexlor-demo-XXXXXX)
head -c 4096 /dev/urandom >"$work/image.bin"
sim_start "$work" "$work/ttyDEMO" --image "$work/image.bin" --base 10000 --baud 115200 --echo
capture="$work/DM_10000_10FFF.bin"
if [ -t 0 ]; then
  echo "Simulated monitor on $work/ttyDEMO. Press s to start, t to end."
  vexlor=$PWD/$build/vexlor
  (cd "$work" && "$vexlor" "$work/ttyDEMO" 115200 10000 10FFF BB BT DM)
else
  vexlor_start "$work" "$work/ttyDEMO" 115200 10000 10FFF BB BT DM quiet
  type_keys s
  for _ in $(seq 600); do
    [ "$(stat -c %s "$capture" 2>/dev/null || echo 0)" -ge 4096 ] && break
    sleep 0.1
  done
  type_keys t
  wait "$run_pid"
  exec 3>&-
fi

echo
size=$(stat -c %s "$capture" 2>/dev/null || echo 0)
echo "capture: $capture ($size bytes), image: 4096 bytes"
capture_check "$capture" "$work/image.bin"

#!/usr/bin/env bash
# The pauses of sending, as the simulated monitor sees them arrive (its
# transcript's times):
#  - the gaps between the bytes of one command at the default pace (10 ms),
#    without options (keys typed through a fifo) and with an option
#    (--batch): median, tenth percentile and shortest;
#  - the gap between the last byte of a command whose prompt never came and
#    the first byte of the next, for --check --timeout 400 at 10 ms a byte
#    and at --pace 100: shortest and longest, against the time-out.
# The monitor's clock sees a byte when it reads it; on a busy machine a late
# read lengthens one gap and shortens the next, so the median is the figure
# to compare, and the shortest gap says how busy the machine was.
#   bench/send_timing.sh [build dir] [blocks]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
blocks=${2:-16}
. tools/sim-session.sh

# Prints the gaps in ms between consecutive bytes of one command (a byte
# that does not follow a line feed).
command_gaps() {
  awk 'NR > 1 && last != "0A" { printf "%.3f\n", ($1 - t) * 1000 } { t = $1; last = $2 }' "$1"
}

# Median, tenth percentile, shortest and count of the numbers on stdin.
summary() {
  sort -n | awk '{ a[n++] = $1 } END {
    if (n == 0) { print "no gaps"; exit }
    printf "median %.3f ms  10th percentile %.3f ms  shortest %.3f ms  (%d gaps)\n",
      a[int(n / 2)], a[int(n / 10)], a[0], n }'
}

pace_gaps() {
  local label=$1
  shift
  local work end
  work=$(mktemp -d /tmp/vexlor-gaps-XXXXXX)
  head -c $((blocks * 128)) /dev/urandom >"$work/image.bin"
  end=$(printf '%X' $((0x20000 + blocks * 128 - 1)))
  sim_start "$work" "$work/tty" --image "$work/image.bin" --base 20000 --baud 115200 \
    --transcript "$work/transcript.txt"
  vexlor_start "$work" "$@" "$work/tty" 115200 20000 "$end" BB BT DM quiet
  if [ "$#" -eq 0 ]; then
    # Without options the walk waits for s, and the run for t once it is done.
    type_keys s
    for _ in $(seq 600); do grep -q 'Done' "$work/out.txt" && break; sleep 0.1; done
    type_keys t
  fi
  wait "$run_pid" || true
  exec 3>&-
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  printf '%-28s %s\n' "$label" "$(command_gaps "$work/transcript.txt" | summary)"
  rm -rf "$work"
}

# The monitor stops showing its prompt after its third line: the dump's
# prompt never comes, nor those of the bare line ends the walk then sends to
# get back in step.
timeout_gaps() {
  local label=$1
  shift
  local work
  work=$(mktemp -d /tmp/vexlor-gaps-XXXXXX)
  head -c 128 /dev/urandom >"$work/image.bin"
  sim_start "$work" "$work/tty" --image "$work/image.bin" --base 20000 --baud 115200 \
    --no-prompt-after 3 --transcript "$work/transcript.txt"
  vexlor_start "$work" --check --batch --retries 1 --timeout 400 "$@" "$work/tty" 115200 \
    20000 2007F BB BT DM quiet
  wait "$run_pid" || true
  exec 3>&-
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  # From the fourth command on, every command is unanswered: the gap after
  # each one's line feed is the wait for its prompt.
  awk -v l="$label" '
    last == "0A" && done >= 4 { g = ($1 - t) * 1000; n++; if (n == 1 || g < lo) lo = g; if (g > hi) hi = g }
    $2 == "0A" { done++ }
    { t = $1; last = $2 }
    END { printf "%-28s after an unanswered command: shortest %.1f ms  longest %.1f ms  (%d gaps, time-out 400 ms)\n", l, lo, hi, n }' \
    "$work/transcript.txt"
  rm -rf "$work"
}

echo "Gaps between the bytes of a command, default pace (10 ms):"
pace_gaps "without options"
pace_gaps "--batch" --batch
pace_gaps "--check --batch" --check --batch
echo
echo "Time-out gaps:"
timeout_gaps "10 ms a byte"
timeout_gaps "--pace 100" --pace 100

# sim-session.sh - sourced by the demo and the benchmarks: start the simulated
# monitor on a link, run vexlor against it with keys typed through a fifo,
# and compare the capture with the image.
#   sim_start WORKDIR LINK [monitor-sim options...]   starts it, sets $sim_pid
#   vexlor_start WORKDIR [vexlor arguments...]        starts vexlor in WORKDIR with
#                                                     keys from fd 3, sets $run_pid
#   type_keys KEYS                                    types keys at it
#   capture_check CAPTURE IMAGE                       says whether they match
# Needs $build (the build folder) set by the caller.

sim_start() {
  local work=$1 link=$2
  shift 2
  "$build/monitor-sim" --link "$link" "$@" </dev/null >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  trap 'kill $sim_pid 2>/dev/null || true' EXIT
  for _ in $(seq 100); do [ -e "$link" ] && return 0; sleep 0.1; done
  echo "monitor-sim did not start:" >&2
  cat "$work/sim.err" >&2
  return 1
}

vexlor_start() {
  local work=$1
  shift
  [ -p "$work/keys" ] || mkfifo "$work/keys"
  local vexlor
  vexlor=$(cd "$build" && pwd)/vexlor
  (cd "$work" && exec "$vexlor" "$@" <keys >out.txt) &
  run_pid=$!
  exec 3>"$work/keys"
}

type_keys() { printf '%s' "$1" >&3; }

capture_check() {
  if cmp -s "$1" "$2"; then
    echo "the capture matches the image"
  else
    echo "the capture differs from the image: $(cmp "$1" "$2" 2>&1 | head -1)"
    return 1
  fi
}

# uboot_session.sh - sourced by the U-Boot benchmarks: boot the real U-Boot
# under QEMU on a pseudo-terminal and leave it idle at its prompt, and put
# the simulator's relay in front of it.
#   uboot_missing                 prints why U-Boot cannot run here ("" when it can)
#   uboot_start WORKDIR           boots it, sets $uboot_pid and $uboot_pty
#   uboot_stop                    ends QEMU (by its pid)
#   relay_start WORKDIR LINK [monitor-sim options...]   the relay on LINK, sets $relay_pid
#   relay_stop                    ends the relay (by its pid)
#   uboot_bench_start BYTES SKIPPED   what both benchmarks do first: ends the
#                                 script (status 0, saying SKIPPED and why)
#                                 where U-Boot cannot run; else sets $vexlor,
#                                 $end and $boot, boots U-Boot, arranges the
#                                 clean-up, and writes the image's first BYTES
#                                 to $boot/image.bin
# Needs $build (the build folder) set by the caller. QEMU throws away what
# the board prints while nobody holds the terminal, so the boot is watched
# here; U-Boot is idle at "=> " when uboot_start returns, and a new opener
# gets a fresh prompt with Ctrl+C (the program sends one).

uboot_image=/usr/lib/u-boot/qemu_arm64/u-boot.bin
relay_pid=

uboot_missing() {
  command -v qemu-system-aarch64 >/dev/null || { echo "qemu-system-aarch64 is not installed"; return; }
  [ -r "$uboot_image" ] || echo "$uboot_image is not there"
}

uboot_start() {
  local work=$1
  qemu-system-aarch64 -M virt -cpu cortex-a57 -m 128 -nic none -display none -monitor none \
    -serial pty -bios "$uboot_image" </dev/null >"$work/qemu.log" 2>&1 &
  uboot_pid=$!
  uboot_pty=
  for _ in $(seq 100); do
    uboot_pty=$(sed -n 's/.*char device redirected to \([^ ]*\) .*/\1/p' "$work/qemu.log")
    [ -n "$uboot_pty" ] && break
    sleep 0.1
  done
  [ -n "$uboot_pty" ] || { echo "QEMU named no pseudo-terminal" >&2; return 1; }
  # Held open while U-Boot boots; Ctrl+C stops the countdown (or, once the
  # boot command has failed back to the prompt, just brings a fresh one).
  exec 5<>"$uboot_pty"
  stty -F "$uboot_pty" raw -echo
  cat <&5 >"$work/boot.txt" &
  local reader=$! ok=
  for _ in $(seq 600); do
    printf '\003' >&5
    sleep 0.1
    grep -q '<INTERRUPT>' "$work/boot.txt" && { ok=1; break; }
  done
  sleep 0.3
  kill "$reader" 2>/dev/null || true
  wait "$reader" 2>/dev/null || true
  exec 5>&-
  [ -n "$ok" ] || { echo "U-Boot did not come to its prompt" >&2; return 1; }
}

uboot_stop() {
  kill "$uboot_pid" 2>/dev/null || true
  wait "$uboot_pid" 2>/dev/null || true
}

relay_start() {
  local work=$1 link=$2
  shift 2
  "$build/monitor-sim" --relay "$uboot_pty" --link "$link" "$@" </dev/null \
    >"$work/relay.out" 2>"$work/relay.err" &
  relay_pid=$!
  for _ in $(seq 100); do [ -e "$link" ] && return 0; sleep 0.1; done
  echo "the relay did not start:" >&2
  cat "$work/relay.err" >&2
  return 1
}

relay_stop() {
  kill "$relay_pid" 2>/dev/null || true
  wait "$relay_pid" 2>/dev/null || true
}

uboot_bench_start() {
  local bytes=$1 skipped=$2 missing
  missing=$(uboot_missing)
  if [ -n "$missing" ]; then
    echo "$skipped: $missing"
    exit 0
  fi
  vexlor=$(cd "$build" && pwd)/vexlor
  end=$(printf '%04X' $((bytes - 1)))
  boot=$(mktemp -d /tmp/vexlor-uboot-XXXXXX)
  trap 'relay_stop; uboot_stop; rm -rf "$boot"' EXIT
  uboot_start "$boot"
  head -c "$bytes" "$uboot_image" >"$boot/image.bin"
}

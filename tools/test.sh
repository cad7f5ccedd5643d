#!/usr/bin/env bash
# Checks the format against .clang-format, then builds and runs every test:
# the Linux build (unit and end-to-end), the same under AddressSanitizer+UBSan
# and under ThreadSanitizer, and the Windows build (cross-compiled, with its
# end-to-end suite under wine), and the fuzzers for a minute each when clang
# with libFuzzer is there (FUZZ_SECONDS sets how long). Each build but the
# fuzzers' is a preset of CMakePresets.json.
#   tools/test.sh          everything
#   tools/test.sh quick    the plain Linux build only
set -euo pipefail
cd "$(dirname "$0")/.."
fail=0
passed=0

run_suite() {  # title, preset
  echo "== $1 =="
  cmake --preset "$2" >/dev/null
  cmake --build --preset "$2" >/dev/null
  if ctest --preset "$2"; then
    passed=$((passed + 1))
  else
    fail=$((fail + 1))
  fi
}

echo "== Format =="
if command -v clang-format >/dev/null; then
  if git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format --dry-run -Werror; then
    passed=$((passed + 1))
  else
    echo "clang-format: the files above differ from .clang-format"
    fail=$((fail + 1))
  fi
else
  echo "clang-format is not installed: format not checked"
fi

run_suite "Linux build" release
if [ "${1:-}" != "quick" ]; then
  run_suite "Linux build, address and undefined-behaviour sanitizers" asan
  TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" \
    run_suite "Linux build, thread sanitizer" tsan
  # Builds the Windows tree (preset windows) and runs its suite under wine.
  if tools/wine-test.sh; then
    passed=$((passed + 1))
  else
    fail=$((fail + 1))
  fi

  echo "== Fuzzers =="
  probe=$(mktemp -d)
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }\n' \
    >"$probe/probe.cpp"
  if command -v clang++ >/dev/null &&
    clang++ -fsanitize=fuzzer "$probe/probe.cpp" -o "$probe/probe" 2>/dev/null; then
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXLOR_FUZZ=ON >/dev/null
    cmake --build build-fuzz -j2 >/dev/null
    root=$PWD
    for target in receive block_check rescue_map description; do
      # New inputs go to a scratch folder; the seeds in the repository stay as they are.
      mkdir -p "$probe/$target"
      echo "-- $target"
      if (cd "$probe" && "$root/build-fuzz/tests/fuzz/vexlor_${target}_fuzz" \
        -max_total_time="${FUZZ_SECONDS:-60}" -print_final_stats=1 \
        "$target" "$root/tests/fuzz/corpus/$target" 2>&1 |
        grep -E '^(stat::number_of_executed_units|Done|==|SUMMARY|INFO: seed)'; exit "${PIPESTATUS[0]}"); then
        passed=$((passed + 1))
      else
        echo "the $target fuzzer found a fault: the input is in $probe"
        fail=$((fail + 1))
      fi
    done
  else
    echo "clang with libFuzzer is not installed: nothing fuzzed"
  fi
fi

echo "suites: $passed passed, $fail failed"
[ "$fail" -eq 0 ]

#!/usr/bin/env bash
# Checks the format against .clang-format, then builds and runs every test:
# the Linux build (unit and end-to-end), the same under AddressSanitizer+UBSan
# and under ThreadSanitizer, and the Windows build (cross-compiled, with its
# end-to-end suite under wine), and the receive-path fuzzer for a minute when
# clang with libFuzzer is there (FUZZ_SECONDS sets how long).
#   tools/test.sh          everything
#   tools/test.sh quick    the plain Linux build only
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-2}
fail=0
passed=0

run_suite() {  # name, build dir, cmake options...
  local name=$1 dir=$2
  shift 2
  echo "== $name =="
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXLOR_BENCH=OFF "$@" >/dev/null
  cmake --build "$dir" -j"$JOBS" >/dev/null
  if (cd "$dir" && ctest -j"$JOBS" --output-on-failure --timeout 400); then
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

run_suite "Linux build" build-test
if [ "${1:-}" != "quick" ]; then
  run_suite "Linux build, address and undefined-behaviour sanitizers" build-asan -DVEXLOR_SANITIZE=address
  TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" \
    run_suite "Linux build, thread sanitizer" build-tsan -DVEXLOR_SANITIZE=thread
  echo "== Windows build =="
  cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build-win -j"$JOBS" >/dev/null
  echo "built build-win/Vexlor.exe"
  if tools/wine-test.sh; then
    passed=$((passed + 1))
  else
    fail=$((fail + 1))
  fi
  echo "== Receive-path fuzzer =="
  probe=$(mktemp -d)
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }\n' \
    >"$probe/probe.cpp"
  if command -v clang++ >/dev/null &&
    clang++ -fsanitize=fuzzer "$probe/probe.cpp" -o "$probe/probe" 2>/dev/null; then
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXLOR_FUZZ=ON >/dev/null
    cmake --build build-fuzz -j"$JOBS" >/dev/null
    # New inputs go to a scratch folder; the seeds in the repository stay as they are.
    mkdir -p "$probe/corpus"
    root=$PWD
    if (cd "$probe" && "$root/build-fuzz/tests/fuzz/vexlor_receive_fuzz" \
      -max_total_time="${FUZZ_SECONDS:-60}" -print_final_stats=1 \
      corpus "$root/tests/fuzz/corpus" 2>&1 | grep -E '^(stat::|Done|==|SUMMARY|INFO: seed)'; exit "${PIPESTATUS[0]}"); then
      passed=$((passed + 1))
    else
      echo "the fuzzer found a fault: the input is in $probe"
      fail=$((fail + 1))
    fi
  else
    echo "clang with libFuzzer is not installed: receive path not fuzzed"
  fi
fi

echo "suites: $passed passed, $fail failed"
[ "$fail" -eq 0 ]

#!/usr/bin/env bash
# Checks the format against .clang-format, then builds and runs every test:
# the Linux build (unit and end-to-end), the same under AddressSanitizer+UBSan
# and under ThreadSanitizer, and the Windows build (cross-compiled, with its
# end-to-end suite under wine).
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
fi

echo "suites: $passed passed, $fail failed"
[ "$fail" -eq 0 ]

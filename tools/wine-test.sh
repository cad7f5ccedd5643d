#!/usr/bin/env bash
# Runs the end-to-end cases against the Windows build under wine: cross-builds
# Vexlor.exe and the test launcher (preset windows, build-win), builds the
# suite and the modem shim (preset release, build), makes a throwaway wine
# prefix under /tmp, and runs the suite.
#   tools/wine-test.sh                      every case
#   tools/wine-test.sh --gtest_filter=...   arguments go to the suite
# Exit status: the suite's (1 if wine or mingw-w64 is missing).
# VEXLOR_KEEP_PREFIX=1 keeps the prefix for a look afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=build  # the release preset's folder

LOADER=${VEXLOR_WINE_LOADER:-$(command -v wine64 || echo /usr/lib/wine/wine64)}
WINESERVER=${VEXLOR_WINESERVER:-$(command -v wineserver || echo /usr/lib/wine/wineserver)}
missing=""
[ -x "$LOADER" ] || missing="$missing wine64 (looked for $LOADER)"
[ -x "$WINESERVER" ] || missing="$missing wineserver"
command -v x86_64-w64-mingw32-g++ >/dev/null || missing="$missing x86_64-w64-mingw32-g++"
if [ -n "$missing" ]; then
  echo "wine-test: missing:$missing" >&2
  echo "wine-test: on Debian: apt-get install wine64 g++-mingw-w64-x86-64" >&2
  exit 1
fi

echo "== Windows build under wine =="
cmake --preset windows >/dev/null
cmake --build --preset windows --target vexlor vexlor_launcher >/dev/null
echo "built build-win/Vexlor.exe"
cmake --preset release >/dev/null
cmake --build --preset release --target vexlor_wine_e2e >/dev/null

export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/vexlor-wine-XXXXXX)
export WINEDEBUG=-all
# No window may open: the console is a terminal, and nothing asks questions.
unset DISPLAY WAYLAND_DISPLAY

cleanup() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  # The wineserver's socket folder for this prefix (named after the prefix's
  # device and inode, in a /tmp/wine-* folder of its own) goes too.
  local szServer dir
  szServer=$(printf 'server-%x-%x' "0x$(stat -c %D "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
  for dir in /tmp/wine-*/"$szServer"; do
    [ -d "$dir" ] || continue
    rm -rf "$dir"
    rmdir "$(dirname "$dir")" 2>/dev/null || true
  done
  if [ "${VEXLOR_KEEP_PREFIX:-0}" = 1 ]; then
    echo "wine-test: prefix kept in $WINEPREFIX"
  else
    rm -rf "$WINEPREFIX"
  fi
}
trap cleanup EXIT
"$WINESERVER" -k >/dev/null 2>&1 || true

# The wineserver and wine's own background processes (services and devices,
# started by wineboot) live on across the cases. They keep whatever standard
# handles the process that started them had: started here on /dev/null, they
# do not hold a case's output pipe open after its program has ended.
tStart=$(date +%s)
"$WINESERVER" -p </dev/null >/dev/null 2>&1
WINEDLLOVERRIDES="mscoree,mshtml=" "$LOADER" wineboot -i </dev/null >/dev/null 2>&1
echo "wine prefix ready in $(( $(date +%s) - tStart )) s: $WINEPREFIX"

status=0
VEXLOR_WINE_LOADER="$LOADER" \
VEXLOR_EXE="$ROOT/build-win/Vexlor.exe" \
VEXLOR_LAUNCHER="$ROOT/build-win/launcher.exe" \
VEXLOR_MODEM_SHIM="$ROOT/$BUILD/tests/libvexlor_modem_shim.so" \
  "$BUILD/tests/vexlor_wine_e2e" "$@" || status=$?
echo "Windows suite finished in $(( $(date +%s) - tStart )) s, status $status"
exit "$status"

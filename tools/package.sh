#!/usr/bin/env bash
# Builds the two packages and checks them the way an operator meets them:
#   - both manual pages are clean under groff -ww and man --warnings;
#   - the .deb (built in build-pkg) carries the project's version, dependencies
#     from dpkg-shlibdeps, both programs, both manual pages, the copyright file
#     and a changelog whose newest entry is that version; it installs with
#     dpkg -i, and vexlor, vexlor-monitor-sim and their manual pages are found
#     from PATH and MANPATH; the installed pair dumps a small image end to end;
#   - the Windows zip (built in build-win-pkg) holds Vexlor.exe and README.txt
#     under a folder named after the version, and the exe imports system DLLs
#     only, so it runs on a bare Windows.
# The .deb is removed again at the end (dpkg -r), unless vexlor was installed
# before the script ran.
#   tools/package.sh               everything (dpkg -i needs root)
#   tools/package.sh --no-install  without installing the .deb
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-2}
INSTALL=1
[ "${1:-}" = "--no-install" ] && INSTALL=0

VERSION=$(sed -n 's/^project(vexlor VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
VERSION_RE=${VERSION//./\\.}
MAN_PAGES="doc/vexlor.1 tools/monitor-sim/vexlor-monitor-sim.1"
# What a bare Windows has: the kernel, the C run-time, the system's API sets
# and the device installer's library (SetupAPI, which lists the COM ports).
SYSTEM_DLLS='^(kernel32|msvcrt|ucrtbase|advapi32|user32|ws2_32|shell32|setupapi|api-ms-win-.*)\.dll$'

passed=0
failed=0
work=$(mktemp -d /tmp/vexlor-package-XXXXXX)
installed_here=0

cleanup() {
  if [ "$installed_here" = 1 ]; then
    dpkg -r vexlor >/dev/null && echo "removed the vexlor package again"
  fi
  rm -rf "$work"
}
trap cleanup EXIT

check() {  # description, command...: one line per check, counted
  local what=$1
  shift
  if "$@"; then
    echo "ok    $what"
    passed=$((passed + 1))
  else
    echo "FAIL  $what"
    failed=$((failed + 1))
  fi
}

quiet() {  # command...: true when it succeeds and prints nothing at all
  local out
  out=$("$@" 2>&1) || { echo "$out"; return 1; }
  [ -z "$out" ] || { echo "$out"; return 1; }
}

man_warnings() {  # page: man's warnings alone, the formatted page goes nowhere
  LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$1" >/dev/null
}

has_line() {  # file, extended regular expression
  grep -Eq -- "$2" "$1" || { echo "  no line matching /$2/ in:"; sed 's/^/  | /' "$1"; return 1; }
}

[ -n "$VERSION" ] || { echo "package: no version on the project() line of CMakeLists.txt"; exit 1; }
echo "== Packages of vexlor $VERSION =="

echo "== Manual pages =="
for page in $MAN_PAGES; do
  check "$page: groff -ww" quiet groff -ww -man -z "$page"
  check "$page: man --warnings" quiet man_warnings "$page"
done

echo "== Debian package =="
# Built with Debian's hardening flags, as Debian's own packages are.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DVEXLOR_TESTS=OFF -DVEXLOR_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build build-pkg -j"$JOBS" >/dev/null
(cd build-pkg && cpack -G DEB >"$work/cpack-deb.log" 2>&1) || { cat "$work/cpack-deb.log"; exit 1; }
deb="build-pkg/vexlor_${VERSION}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { echo "package: $deb was not made"; cat "$work/cpack-deb.log"; exit 1; }
echo "built $deb"
dpkg-deb -I "$deb" control >"$work/control"
dpkg-deb -c "$deb" | awk '{print $NF}' >"$work/contents"
sed 's/^/  /' "$work/control"
check "version is $VERSION" has_line "$work/control" "^Version: $VERSION_RE\$"
check "doc/changelog starts with $VERSION" test "$(dpkg-parsechangelog -l doc/changelog -S Version)" = "$VERSION"
check "depends on the C and C++ run-time" has_line "$work/control" '^Depends: .*libc6 .*libstdc\+\+6'
for file in usr/bin/vexlor usr/bin/vexlor-monitor-sim usr/share/man/man1/vexlor.1.gz \
  usr/share/man/man1/vexlor-monitor-sim.1.gz usr/share/doc/vexlor/copyright \
  usr/share/doc/vexlor/changelog.gz; do
  check "holds /$file" has_line "$work/contents" "^\./$file\$"
done

if [ "$INSTALL" = 1 ]; then
  echo "== Installed from the .deb =="
  [ "$(id -u)" = 0 ] || { echo "package: dpkg -i needs root (or use --no-install)"; exit 1; }
  if ! dpkg-query -W -f='${Status}' vexlor 2>/dev/null | grep -q 'ok installed'; then
    installed_here=1
  fi
  # Slim Debian images tell dpkg to leave manual pages out; ours are wanted.
  dpkg --path-include='/usr/share/man/man1/vexlor*' -i "$deb" >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log"; exit 1; }
  echo "installed $deb"
  mkdir "$work/run"
  cd "$work/run"
  # A wrong argument count shows the usage and creates nothing.
  vexlor >usage.out 2>&1 </dev/null || true
  check "vexlor from PATH ($(command -v vexlor)) shows the usage" has_line usage.out '^Command set1: '
  check "vexlor with a wrong count creates no file" test "$(ls)" = usage.out
  vexlor --version >version.out 2>&1 </dev/null || true
  check "vexlor --version names vexlor $VERSION" has_line version.out "[Vv]exlor.*$VERSION_RE"
  check "vexlor-monitor-sim --help from PATH" sh -c 'vexlor-monitor-sim --help >sim-help.out'
  check "vexlor-monitor-sim --help names itself" has_line sim-help.out '^usage: vexlor-monitor-sim '
  check "man finds vexlor(1)" test "$(man -w vexlor)" = /usr/share/man/man1/vexlor.1.gz
  check "man finds vexlor-monitor-sim(1)" \
    test "$(man -w vexlor-monitor-sim)" = /usr/share/man/man1/vexlor-monitor-sim.1.gz

  # The installed pair end to end: 1 KiB of the simulated monitor's image,
  # keys typed through a pipe as an operator would.
  head -c 1024 /dev/urandom >image.bin
  vexlor-monitor-sim --image image.bin --base 20000 --link "$work/ttySIM" \
    </dev/null >sim.out 2>sim.err &
  sim=$!
  for _ in $(seq 100); do [ -e "$work/ttySIM" ] && break; sleep 0.1; done
  mkfifo keys
  vexlor "$work/ttySIM" 115200 20000 203FF BB BT DM quiet <keys >dump.out 2>&1 &
  run=$!
  exec 3>keys
  printf s >&3
  for _ in $(seq 300); do
    [ "$(stat -c %s DM_20000_203FF.bin 2>/dev/null || echo 0)" -ge 1024 ] && break
    sleep 0.1
  done
  printf t >&3
  exec 3>&-
  wait "$run" || true
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  check "installed vexlor dumps the installed simulator's image" cmp DM_20000_203FF.bin image.bin
  cd "$ROOT"
else
  echo "== Install skipped (--no-install) =="
fi

echo "== Windows zip =="
command -v x86_64-w64-mingw32-g++ >/dev/null ||
  { echo "package: x86_64-w64-mingw32-g++ missing (Debian: g++-mingw-w64-x86-64)"; exit 1; }
cmake -S . -B build-win-pkg --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-win-pkg -j"$JOBS" >/dev/null
(cd build-win-pkg && cpack -G ZIP >"$work/cpack-zip.log" 2>&1) || { cat "$work/cpack-zip.log"; exit 1; }
zip="build-win-pkg/vexlor-$VERSION-win64.zip"
[ -f "$zip" ] || { echo "package: $zip was not made"; cat "$work/cpack-zip.log"; exit 1; }
echo "built $zip"
unzip -l "$zip" | tee "$work/zip-list"
unzip -Z1 "$zip" | grep -v '/$' | sort >"$work/zip-files"
check "zip holds Vexlor.exe and README.txt only" test "$(tr '\n' ' ' <"$work/zip-files")" = \
  "vexlor-$VERSION-win64/README.txt vexlor-$VERSION-win64/Vexlor.exe "
mkdir "$work/zip"
unzip -q "$zip" -d "$work/zip"
exe="$work/zip/vexlor-$VERSION-win64/Vexlor.exe"
check "Vexlor.exe is a 64-bit Windows console program" has_line <(file "$exe") 'PE32\+ executable \(console\) x86-64'
x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' >"$work/imports"
echo "Vexlor.exe imports: $(tr '\n' ' ' <"$work/imports")"
check "Vexlor.exe imports system DLLs only" \
  sh -c "[ -s '$work/imports' ] && ! tr 'A-Z' 'a-z' <'$work/imports' | grep -Evq '$SYSTEM_DLLS'"
check "README.txt names version $VERSION" has_line "$work/zip/vexlor-$VERSION-win64/README.txt" "$VERSION"

echo "packaging: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# Cross-compiles the part of the program that needs no Qt for 64-bit Windows with MinGW-w64,
# with GoogleTest built from Debian's sources by the same compiler, and runs its unit tests and
# the tools against the simulated station under Wine, in a fresh Wine prefix inside the build
# folder. Usage: scripts/windows-test.sh [BUILD_DIR] [JOBS]
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=${1:-build-win}
jobs=${2:-2}
mkdir -p "$build"
build=$(cd "$build" && pwd)

# The JSON library is header-only: its headers are given to the cross compiler on their own,
# never the whole of the host's include folder.
mkdir -p "$build/include"
[ -e "$build/include/nlohmann" ] || ln -s /usr/include/nlohmann "$build/include/nlohmann"

t0=$(date +%s)
cmake -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$src/scripts/mingw-w64.cmake" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVRIM_WITH_QT=OFF \
      -DVRIM_GTEST_SOURCE=/usr/src/googletest -DVRIM_JSON_INCLUDE="$build/include" >"$build/configure.log"
cmake --build "$build" -j "$jobs" >"$build/build.log" 2>&1 || { tail -n 40 "$build/build.log"; exit 1; }
t1=$(date +%s)
echo "windows build: $((t1 - t0)) s"

export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# One Wine server for the whole run, so each test program does not start its own. Wine's
# services start here too, with their output going nowhere: started by the first test program
# instead, they would hold its output pipe open and the test would seem to hang.
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
mkdir -p "$WINEPREFIX"
"$wineserver" -p >/dev/null 2>&1
trap '"$wineserver" -k >/dev/null 2>&1 || true' EXIT
wineboot --init </dev/null >/dev/null 2>&1 || true
t2=$(date +%s)
echo "wine prefix: $((t2 - t1)) s"

rc=0
(cd "$build" && ctest --output-on-failure -j "$jobs" --timeout 600) || rc=$?

# The Windows serial port code on a real (Wine) COM port: COM9 is a pseudo-terminal of the host
# whose far end echoes lines reversed.
g++ -O1 -o "$build/pty_echo" "$src/tests/support/pty_echo.cpp"
rm -f "$build/pty_echo.path"
exec 3> >("$build/pty_echo" >"$build/pty_echo.path")
for _ in $(seq 100); do [ -s "$build/pty_echo.path" ] && break; sleep 0.1; done
pty=$(cat "$build/pty_echo.path" 2>/dev/null || true)
[ -n "$pty" ] || { echo "real COM port test: no pseudo-terminal for COM9"; exit 1; }
ln -sfn "$pty" "$WINEPREFIX/dosdevices/com9"
(cd "$build/bin" && VRIM_TEST_REAL_PORT=COM9 wine test_serial.exe --gtest_filter='SerialRealPort.*') \
  >"$build/realport.log" 2>&1 || { cat "$build/realport.log"; rc=1; }
grep -q '\[  PASSED  \] 1 test' "$build/realport.log" && echo "real COM port test: passed" || {
  echo "real COM port test: did not pass"; cat "$build/realport.log"; rc=1; }
exec 3>&-
rm -f "$WINEPREFIX/dosdevices/com9"
t3=$(date +%s)
echo "windows tests: $((t3 - t2)) s"
exit $rc

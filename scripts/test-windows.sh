#!/usr/bin/env bash
# The Windows part of the test command: cross-builds ravelok.exe (x86_64 and
# i686) and the Windows test suite with Debian's mingw-w64, then runs under
# Wine (Debian's wine64, its 64-bit loader called directly):
#   1. the Windows test suite (shared suites and the Win32 backend's own);
#   2. the whole-run suites of the POSIX test binary against ravelok.exe
#      (the POSIX scripted server and real peers on loopback, Wine's sockets
#      being the host's);
#   3. the differential check of the settings readers (profile-diff.sh).
# Expects the POSIX build in build/ (scripts/test.sh makes it first).
set -euo pipefail
cd "$(dirname "$0")/.."
ravelok_extra_packages=(nginx curl nodejs php-cli node-busboy g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
                        wine64)
source scripts/setup.sh

started=$SECONDS
jobs=2
cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DRAVELOK_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo --no-warn-unused-cli >/dev/null
cmake --build build-win64 -j"$jobs"
# The 32-bit binary is built and checked to link; Debian's 64-bit Wine cannot
# run it (that needs wine32 from the i386 architecture).
cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
  -DRAVELOK_WERROR=ON -DRAVELOK_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo --no-warn-unused-cli >/dev/null
cmake --build build-win32 -j"$jobs" --target ravelok
echo "Windows builds: $((SECONDS - started)) s"

# The suites of the POSIX test binary that run the program as a whole; under
# Wine they run ravelok.exe instead. Such suites are named "...Run"
# (tests/support/job_fixture.h); a few others are listed by name.
whole_runs='*Run.*:JobRunProcess.*:EchoServerTest.*:NginxPeer.*:Peers/ServerParsers.*'

export RAVELOK_WINE=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
# A prefix of our own, no display, no debug output, and a C locale, which
# gives Wine the ANSI code page 1252 (a test checks it).
export WINEPREFIX="$PWD/build-win64/wineprefix"
export WINEDEBUG=-all LC_ALL=C LANG=C
unset DISPLAY WAYLAND_DISPLAY
if [ ! -f "$WINEPREFIX/ravelok-ready" ]; then
  rm -rf "$WINEPREFIX"
  "$RAVELOK_WINE" wineboot --init </dev/null >/dev/null 2>&1 || true
  # Wine sets TEMP and TMP from these values and would hide the test's own;
  # without them it hands on WINETEMP and WINETMP as TEMP and TMP.
  for key in 'HKCU\Environment' 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment'; do
    for name in TEMP TMP; do
      "$RAVELOK_WINE" reg delete "$key" /v "$name" /f </dev/null >/dev/null 2>&1 || true
    done
  done
  # Text files open in winebrowser, which hands them to xdg-open (the tests'
  # stand-in viewer), as .htm files already do.
  "$RAVELOK_WINE" reg add 'HKCR\txtfile\shell\open\command' /ve \
    /d '"C:\windows\system32\winebrowser.exe" "%1"' /f </dev/null >/dev/null 2>&1
  "$wineserver" -w
  touch "$WINEPREFIX/ravelok-ready"
fi
# One wineserver for every run below (starting one costs seconds); it is
# this prefix's own and is stopped at the end.
"$wineserver" -p
trap '"$wineserver" -k 2>/dev/null || true' EXIT
# The prefix's own services start with the first Windows process and live
# on; started here, they hold no pipe of the runs below open.
"$RAVELOK_WINE" wineboot </dev/null >/dev/null 2>&1 || true

# The Windows suites make their temporary directories here.
temp="$PWD/build-win64/wine-temp"
rm -rf "$temp"
mkdir -p "$temp"
export WINETEMP="Z:${temp//\//\\}"

passed=0
failed=0
# Adds the counts of one GoogleTest run (its output in $1) to the totals; a
# run that failed without a count of its failures counts as one failure.
count_gtest() {
  local log="$1" run_status="$2" ok bad
  ok=$(grep -E '^\[  PASSED  \] [0-9]+ test' "$log" | sed -E 's/.*\] ([0-9]+) .*/\1/' | tail -n 1 || true)
  bad=$(grep -E '^\[  FAILED  \] [0-9]+ tests?, listed below' "$log" | sed -E 's/.*\] ([0-9]+) .*/\1/' | tail -n 1 || true)
  ok=${ok:-0}
  bad=${bad:-0}
  if [ "$run_status" -ne 0 ] && [ "$bad" -eq 0 ]; then bad=1; fi
  passed=$((passed + ok))
  failed=$((failed + bad))
}
logs=build-win64/test-logs
mkdir -p "$logs"

phase=$SECONDS
echo "== Windows test suite under Wine"
# The TLS peers of the suite (tests/windows/tls_peer.py), on loopback ports
# of their own (one on Node), with certificates made now by openssl;
# stopped after the suite.
tls_dir="$PWD/build-win64/tls-peer"
rm -rf "$tls_dir"
python3 tests/windows/tls_peer.py "$tls_dir" </dev/null >"$logs/tls-peer.log" 2>&1 &
tls_peer=$!
trap 'kill "$tls_peer" 2>/dev/null || true; "$wineserver" -k 2>/dev/null || true' EXIT
for _ in $(seq 1 150); do
  [ -f "$tls_dir/ports.txt" ] || ! kill -0 "$tls_peer" 2>/dev/null && break
  sleep 0.2
done
export RAVELOK_TLS_PEER="Z:${tls_dir//\//\\}"
run_status=0
"$RAVELOK_WINE" build-win64/tests/windows/ravelok_tests.exe </dev/null 2>&1 | tr -d '\r' > "$logs/suite.log" ||
  run_status=$?
kill "$tls_peer" 2>/dev/null || true
wait "$tls_peer" 2>/dev/null || true
unset RAVELOK_TLS_PEER
grep -v '^\[ *\(RUN\|OK\) ' "$logs/suite.log" || true
count_gtest "$logs/suite.log" "$run_status"
echo "   $((SECONDS - phase)) s"

phase=$SECONDS
echo "== Whole runs of ravelok.exe under Wine"
unset WINETEMP
run_status=0
RAVELOK_WINDOWS_EXE="$PWD/build-win64/ravelok.exe" ./build/tests/ravelok_tests \
  --gtest_filter="$whole_runs" </dev/null > "$logs/runs.log" 2>&1 || run_status=$?
grep -v '^\[ *\(RUN\|OK\) ' "$logs/runs.log" || true
count_gtest "$logs/runs.log" "$run_status"
echo "   $((SECONDS - phase)) s"

phase=$SECONDS
echo "== Settings readers: POSIX against GetPrivateProfileStringA"
if scripts/profile-diff.sh; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
echo "   $((SECONDS - phase)) s"

echo "Windows tests: $((SECONDS - started)) s in all"
echo "Windows: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

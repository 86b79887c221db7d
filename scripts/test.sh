#!/usr/bin/env bash
# Builds ravelok with warnings as errors and runs every test three ways:
#   build/           the plain build;
#   build-sanitize/  the same suite with AddressSanitizer (leaks included) and
#                    UndefinedBehaviorSanitizer in the tests and in the
#                    ravelok binary they start; any report fails. This tree
#                    is generated for Ninja, the others for Make, so the
#                    build is checked with both generators;
#   build-fuzz/      each libFuzzer target of fuzz/ (clang) for a bounded time
#                    from its seed corpus; a finding fails;
#   build-win64/     the Windows build (mingw-w64), its tests under Wine and the
#                    differential check of the settings readers
#                    (scripts/test-windows.sh).
# The last line sums up all four runs: "N passed, N failed".
# RAVELOK_FUZZ_SECONDS (default 50) sets how long each fuzz target runs.
set -euo pipefail
cd "$(dirname "$0")/.."
ravelok_extra_packages=(nginx openssl curl tinyproxy squid golang-go php-cli node-busboy clang libclang-rt-dev groff-base man-db
                        dpkg-dev file systemd ninja-build nodejs g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
                        wine64)
source scripts/setup.sh

fuzz_seconds="${RAVELOK_FUZZ_SECONDS:-50}"
logs="$(mktemp -d)"
trap 'rm -rf "$logs"' EXIT
passed=0
failed=0
summary=()

# Runs one build directory's tests; adds its counts to the totals from
# ctest's own summary line ("100% tests passed, 0 tests failed out of 103").
run_tests() {
  local name="$1" dir="$2" parallel="$3"
  echo "=== $name: ctest in $dir"
  local status=0
  ctest --test-dir "$dir" --output-on-failure -j"$parallel" --timeout 900 2>&1 | tee "$logs/$name.log" ||
    status=$?
  local line total failures
  line=$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "$logs/$name.log" | tail -n 1 || true)
  if [ -z "$line" ]; then
    # No summary at all (ctest could not run): count the whole run as one failure.
    total=1
    failures=1
  else
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    failures=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
  fi
  if [ "$status" -ne 0 ] && [ "$failures" -eq 0 ]; then failures=1; fi
  passed=$((passed + total - failures))
  failed=$((failed + failures))
  summary+=("$name: $((total - failures)) passed, $failures failed")
}

cmake -S . -B build -DRAVELOK_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
run_tests main build 2

# -O0 builds several times faster with the sanitizers and hides nothing from them.
# cmake keeps the generator a tree was first configured with and refuses
# another one, so a build-sanitize/ made with Make (by hand, or by an older
# copy of this script) is started afresh.
if [ -f build-sanitize/CMakeCache.txt ] &&
   ! grep -qx "CMAKE_GENERATOR:INTERNAL=Ninja" build-sanitize/CMakeCache.txt; then
  echo "build-sanitize/ was made with another generator than Ninja: starting it afresh"
  rm -rf build-sanitize
fi
cmake -S . -B build-sanitize -G Ninja -DRAVELOK_WERROR=ON -DRAVELOK_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-sanitize -j"$(nproc)"
run_tests sanitized build-sanitize 2

cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DRAVELOK_FUZZ=ON -DRAVELOK_TESTS=OFF \
  -DRAVELOK_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DRAVELOK_FUZZ_SECONDS="$fuzz_seconds" >/dev/null
cmake --build build-fuzz -j"$(nproc)"
run_tests fuzz build-fuzz 2

# The Windows build: its suites and whole runs under Wine, and the
# differential check of the settings readers. Its last line holds its counts.
echo "=== windows: scripts/test-windows.sh"
windows_status=0
scripts/test-windows.sh 2>&1 | tee "$logs/windows.log" || windows_status=$?
line=$(grep -E "^Windows: [0-9]+ passed, [0-9]+ failed" "$logs/windows.log" | tail -n 1 || true)
if [ -z "$line" ]; then
  windows_passed=0
  windows_failed=1
else
  windows_passed=$(sed -E 's/^Windows: ([0-9]+) passed.*/\1/' <<<"$line")
  windows_failed=$(sed -E 's/.* ([0-9]+) failed.*/\1/' <<<"$line")
fi
if [ "$windows_status" -ne 0 ] && [ "$windows_failed" -eq 0 ]; then windows_failed=1; fi
passed=$((passed + windows_passed))
failed=$((failed + windows_failed))
summary+=("windows: $windows_passed passed, $windows_failed failed")

echo "=== Summary"
printf '%s\n' "${summary[@]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

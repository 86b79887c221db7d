#!/usr/bin/env bash
# Builds ravelok with warnings as errors and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

cmake -S . -B build -DRAVELOK_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j2 --timeout 600
# The Windows build, its tests under Wine, and the settings differential check.
scripts/test-windows.sh

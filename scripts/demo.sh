#!/usr/bin/env bash
# Builds ravelok, starts the echo server on a free loopback port, runs the
# sample upload job of examples/upload against it and shows the answer.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target ravelok

# The job directory is kept after the run, so the answer can be looked at.
work="$PWD/build/demo"
rm -rf "$work"
mkdir -p "$work"
server_pid=""
stop_server() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
}
trap stop_server EXIT

python3 scripts/echo_server.py --port-file "$work/port" >/dev/null &
server_pid=$!
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")

# The job directory: the sample settings with the server's port, and the
# files it uploads (Files entries are relative to the current directory).
cp examples/upload/* "$work/"
sed -i "s/^Port=.*/Port=$port/" "$work/RAVELOK.INI"

echo "Running: ravelok $work   (the echo server listens on 127.0.0.1:$port)"
status=0
(cd "$work" && ../ravelok "$work") || status=$?
echo "Exit status: $status"
echo "The answer was saved to $work/answer.txt; it holds:"
echo "------------------------------------------------------------------"
cat "$work/answer.txt"
echo "------------------------------------------------------------------"
exit "$status"

#!/usr/bin/env bash
# The differential check of the settings readers: the POSIX reader and
# GetPrivateProfileStringA (under Wine) read the same corpus of settings
# files and must give the same bytes for every section and key asked, and
# the same listings of sections and keys.
#
# The corpus: the examples, every settings file the POSIX test suites write
# (gathered through RAVELOK_SETTINGS_CORPUS), the settings fuzzer's corpus
# (fuzz/corpus/profile_text/ or settings*/) when it is there, and 300 files
# of random shape (tests/tools/settings_corpus.py). tests/tools/profile_query.cpp
# chooses the questions and leaves out those where Wine departs from Windows
# and files that begin with a UTF-8 mark (docs/HACKING.md, "The differential
# check of the settings readers", lists them with their sources).
#
# Expects scripts/test-windows.sh's environment: build/ (POSIX) and
# build-win64/ built, WINEPREFIX ready, $RAVELOK_WINE the Wine loader.
set -euo pipefail
cd "$(dirname "$0")/.."

corpus="$PWD/build-win64/settings-corpus"
rm -rf "$corpus"
mkdir -p "$corpus"

for example in examples/*/RAVELOK.INI; do
  cp "$example" "$corpus/example-$(basename "$(dirname "$example")").ini"
done
for directory in fuzz/corpus/settings*/ fuzz/corpus/profile*/; do
  [ -d "$directory" ] || continue
  for seed in "$directory"*; do
    [ -f "$seed" ] && cp "$seed" "$corpus/fuzz-$(basename "$directory")-$(basename "$seed").ini"
  done
done
python3 tests/tools/settings_corpus.py "$corpus" 300
RAVELOK_SETTINGS_CORPUS="$corpus" ./build/tests/ravelok_tests \
  --gtest_filter='ProfileText.*:SettingsRead.*:SettingsList.*:JobSettingsTest.*' >/dev/null

files=$(find "$corpus" -maxdepth 1 -type f | sort)
count=$(printf '%s\n' "$files" | wc -l)
# In batches, so no command line grows past what Windows takes.
printf '%s\n' "$files" | xargs -n 50 ./build/tests/profile_query > "$corpus.posix"
printf '%s\n' "$files" | xargs -n 50 "$RAVELOK_WINE" build-win64/tests/windows/profile_query.exe \
  | tr -d '\r' > "$corpus.windows"

questions=$(grep -vc '^file \|^skip ' "$corpus.posix" || true)
skipped=$(grep -c '^skip ' "$corpus.posix" || true)
if ! diff -q "$corpus.posix" "$corpus.windows" >/dev/null; then
  echo "Settings readers differ (POSIX < > GetPrivateProfileStringA under Wine):"
  diff "$corpus.posix" "$corpus.windows" | head -40
  echo "profile-diff: $count files, $questions questions: 0 passed, 1 failed"
  exit 1
fi
echo "profile-diff: $count files ($skipped left out), $questions questions answered alike"

#!/usr/bin/env bash
# Runs the native engine's libFuzzer target for a bounded time on seeds from the fixture
# databases (or the Debian samples when the fixtures are absent), the encrypted ones also with
# damaged encryption headers.
# Usage: scripts/fuzz.sh [seconds]   (default 120)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds="${1:-${ORVELLE_FUZZ_SECONDS:-120}}"

cmake --preset fuzz >/dev/null
cmake --build build/fuzz -j "$(nproc)" --target jet_reader_fuzz orvelle-jet-damaged-headers

seeds="$root/build/fuzz/seeds"
corpus="$root/build/fuzz/corpus"
mkdir -p "$seeds" "$corpus"
for dir in "${ORVELLE_FIXTURES:-$root/../shared/fixtures/access}" \
           "${ORVELLE_FIXTURES_ENCRYPTED:-$root/../shared/fixtures/access-encrypted}" \
           "${ORVELLE_TEST_DATA:-$root/build/test-data}"; do
  [ -d "$dir" ] || continue
  find "$dir" -maxdepth 1 -type f \( -iname '*.mdb' -o -iname '*.accdb' \) -size -450k \
    -exec cp -f {} "$seeds/" \;
done
# Encrypted fixtures with damaged encryption headers, and a standard-AES database.
build/fuzz/orvelle-jet-damaged-headers "$seeds" >/dev/null
echo "fuzz: $(ls "$seeds" | wc -l) seeds, ${seconds}s"
build/fuzz/jet_reader_fuzz -max_len=450000 -max_total_time="$seconds" -timeout=20 \
  -rss_limit_mb=2048 -print_final_stats=1 "$corpus" "$seeds" 2>&1 | tail -n 15

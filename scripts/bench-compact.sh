#!/usr/bin/env bash
# Builds and runs the compaction benchmark (not a test): a sample database spread out to about
# 200 MB of free pages, copied with cp and compacted by the native engine.
# Usage: scripts/bench-compact.sh [sample.mdb] [work-folder] [megabytes]
set -euo pipefail
cd "$(dirname "$0")/.."
sample="${1:-../shared/fixtures/access/V2000-testRefGlobalV2000.mdb}"
work="${2:-${TMPDIR:-/tmp}/orvelle-compact-bench}"
mb="${3:-200}"
build=build/compact-bench
cmake --preset linux -B "$build" -DORVELLE_TESTS=OFF >/dev/null
cmake --build "$build" --target orvelle_core -j2 >/dev/null
g++ -std=c++17 -O2 -Isrc src/jet/bench/compact_bench_main.cpp "$build/liborvelle_core.a" \
  -lpthread -o "$build/compact-bench"
"$build/compact-bench" "$sample" "$work" "$mb"
rm -f "$work/copy.mdb"
sync
start=$(date +%s.%N)
cp "$work/bloated.mdb" "$work/copy.mdb"
end=$(date +%s.%N)
awk -v a="$start" -v b="$end" 'BEGIN { printf "cp         %.3f s\n", b - a }'
rm -rf "$work"

#!/usr/bin/env bash
# Builds and runs the compaction benchmark (not a test, not run in CI): a fixture spread out to
# about 200 MB of free pages, a smaller spread of the same file (memory must not grow with the
# size), the fixture with the most data spread out, and the whole fixture folder; each timed
# against cp (and cp plus fsync) of the same input in the same run, with the write phase and
# the verification apart, and the compactor's peak memory.
# Usage: scripts/bench-compact.sh [fixture-folder] [work-folder] [megabytes]
set -euo pipefail
cd "$(dirname "$0")/.."
fixtures="${1:-../shared/fixtures/access}"
work="${2:-${TMPDIR:-/tmp}/orvelle-compact-bench}"
mb="${3:-200}"
build=build/compact-bench
if [ ! -d "$fixtures" ]; then
  echo "bench-compact: no fixture folder at $fixtures" >&2
  exit 2
fi
cmake --preset linux -B "$build" -DORVELLE_TESTS=OFF >/dev/null
cmake --build "$build" --target orvelle-compact-bench -j2 >/dev/null
"$build/orvelle-compact-bench" "$fixtures" "$work" "$mb"

#!/usr/bin/env bash
# Builds and runs the compaction benchmark (not a test, not run in CI): a fixture spread out to
# about 200 MB of free pages, a smaller spread of the same file (memory must not grow with the
# size), the fixture with the most data spread out, and the whole fixture folder; each timed
# against cp (and cp plus fsync) of the same input in the same run, with the write phase and
# the verification apart, and the compactor's peak memory.
# With --grow, the large case is a file of live rows instead: a small database (default: the
# Debian sample Monitor.mdb) grown to the size (default 500 MB) with copies of a table's rows;
# the grower's time and peak memory at a tenth of the size and at the size, then the compactor
# on the grown file against cp and cp plus fsync, with its peak memory.
# The inputs are first copied to a private folder: the compactor holds a lock file beside each
# database it reads, which must never appear in a shared fixture folder.
# Usage: scripts/bench-compact.sh [fixture-folder] [work-folder] [megabytes]
#        scripts/bench-compact.sh --grow [database] [megabytes] [work-folder]
set -euo pipefail
cd "$(dirname "$0")/.."
private="$(mktemp -d "${TMPDIR:-/tmp}/orvelle-bench-inputs.XXXXXX")"
trap 'rm -rf "$private"' EXIT
if [ "${1:-}" = "--grow" ]; then
  in="${2:-build/test-data/Monitor.mdb}"
  mb="${3:-500}"
  work="${4:-${TMPDIR:-/tmp}/orvelle-grow-bench}"
  build=build/compact-bench
  if [ ! -f "$in" ]; then
    echo "bench-compact: no database at $in (scripts/fetch-test-data.sh fetches the Debian samples)" >&2
    exit 2
  fi
  cmake --preset linux -B "$build" -DORVELLE_TESTS=OFF >/dev/null
  cmake --build "$build" --target orvelle-compact-bench -j2 >/dev/null
  cp "$in" "$private/"
  "$build/orvelle-compact-bench" --grown "$private/$(basename "$in")" "$work" "$mb"
  exit
fi
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
mkdir "$private/fixtures"
find "$fixtures" -maxdepth 1 -type f \( -name '*.mdb' -o -name '*.accdb' \) -exec cp {} "$private/fixtures/" \;
"$build/orvelle-compact-bench" "$private/fixtures" "$work" "$mb"

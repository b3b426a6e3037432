#!/usr/bin/env bash
# Builds and runs the search and hand-out benchmark (not a test): prints the search time
# against find, files per second through 1, 2 and 4 workers, and idle workers' CPU time.
# Usage: scripts/bench.sh [work-folder]   (the generated tree is kept there between runs)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset linux >/dev/null
cmake --build build/linux --target orvelle-bench -j2 >/dev/null
work="${1:-${TMPDIR:-/tmp}/orvelle-bench}"
mkdir -p "$work"
rm -rf "$work"/out*
build/linux/orvelle-bench "$work"
rm -rf "$work"/out*

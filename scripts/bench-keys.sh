#!/usr/bin/env bash
# Builds and runs the key-derivation benchmark (not a test, not run in CI): per encrypted
# fixture its scheme, the time to derive its key from the password, and its sizes before and
# after compaction.
# Usage: scripts/bench-keys.sh [encrypted-fixture-folder] [work-folder]
set -euo pipefail
cd "$(dirname "$0")/.."
fixtures="${1:-../shared/fixtures/access-encrypted}"
work="${2:-${TMPDIR:-/tmp}/orvelle-key-bench}"
if [ ! -d "$fixtures" ]; then
  echo "bench-keys: no fixture folder at $fixtures" >&2
  exit 2
fi
cmake --preset linux >/dev/null
cmake --build build/linux --target orvelle-key-bench -j2 >/dev/null
build/linux/orvelle-key-bench "$fixtures" "$work"
rm -rf "$work"

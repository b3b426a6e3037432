#!/usr/bin/env bash
# Configures and builds one preset (default: linux). Warnings are errors.
# Usage: scripts/build.sh [linux|asan|fuzz|mingw32|mingw64]
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-linux}"
cmake --preset "$preset" -DORVELLE_WERROR=ON >/dev/null
cmake --build "build/$preset" -j "$(nproc)"

#!/usr/bin/env bash
# Cross-builds the Windows presets with warnings as errors: mingw32 (the 32-bit product,
# compiled only) and mingw64 (its tests run under Wine, see windows-test.sh).
# Usage: scripts/windows-build.sh [mingw32|mingw64]...   (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(mingw32 mingw64)
for preset in "${presets[@]}"; do
  case "$preset" in
    mingw32) compiler=i686-w64-mingw32-g++-posix ;;
    mingw64) compiler=x86_64-w64-mingw32-g++-posix ;;
    *) echo "windows-build: unknown preset $preset" >&2; exit 2 ;;
  esac
  if ! command -v "$compiler" >/dev/null; then
    echo "windows-build: $compiler is not installed (package g++-mingw-w64); $preset not built" >&2
    exit 1
  fi
  echo "windows-build: $preset"
  cmake --preset "$preset" -DORVELLE_WERROR=ON >/dev/null
  cmake --build "build/$preset" -j "$(nproc)"
done

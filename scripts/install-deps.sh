#!/usr/bin/env bash
# Installs what building and testing Orvelle needs on Debian 12 (run as root, or with sudo).
# Usage: scripts/install-deps.sh [--windows]
#   --windows  also the mingw-w64 cross compilers, wine with its fonts and xvfb for Windows.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

packages=(
  build-essential cmake git pkg-config
  googletest libgtest-dev libgmock-dev
  libboost1.81-dev
  libssl-dev
  nlohmann-json3-dev
  clang clang-format libclang-rt-14-dev
  mdbtools
)
# Node.js (for the mdb-reader oracle) may come with its own npm, which also fetches a sample
# database (scripts/fetch-test-data.sh); only ask apt when absent.
if ! command -v node >/dev/null; then packages+=(nodejs); fi
if ! command -v npm >/dev/null; then packages+=(npm); fi
if [ "${1:-}" = "--windows" ]; then
  packages+=(mingw-w64 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64 fonts-wine xvfb xauth)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

#!/bin/sh
# Installs the npm package mdb-reader into build/jet-oracle (never committed); the oracle
# tests skip when it is absent.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
prefix="$root/build/jet-oracle"
mkdir -p "$prefix"
cp -f "$root/scripts/jet-oracle/dump.mjs" "$prefix/dump.mjs"
npm install --no-audit --no-fund --prefix "$prefix" mdb-reader@3.2.0

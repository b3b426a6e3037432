#!/bin/sh
# Downloads the two Debian packages that ship sample Access databases, and the npm package mdb
# for the small database its tests read (test/fruit.mdb), and unpacks them into build/test-data
# (never committed). Tests that need them skip when the folder is absent. Needs apt-get and npm
# (scripts/install-deps.sh); what was downloaded once stays in build/test-data/debs and npm.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
dest="${ORVELLE_TEST_DATA:-$root/build/test-data}"
mkdir -p "$dest/debs"
cd "$dest/debs"
for pkg in mrtg-contrib fp-units-db-3.2.2; do
  if ! ls "${pkg}"_*.deb >/dev/null 2>&1; then
    apt-get download "$pkg"
  fi
done
for deb in *.deb; do
  dpkg-deb -x "$deb" "$dest/root"
done
# Flat names for the tests (fp-units-db ships its sample gzipped).
find "$dest/root" -type f \( -iname '*.mdb' -o -iname '*.accdb' \) | while read -r f; do
  cp -f "$f" "$dest/$(basename "$f")"
done
find "$dest/root" -type f -iname '*.mdb.gz' | while read -r f; do
  gzip -dc "$f" >"$dest/$(basename "$f" .gz)"
done
# The npm package is only unpacked: nothing of it runs.
mkdir -p "$dest/npm"
cd "$dest/npm"
if ! ls mdb-0.1.0.tgz >/dev/null 2>&1; then
  npm pack --silent mdb@0.1.0 >/dev/null
fi
tar -xzf mdb-0.1.0.tgz -O package/test/fruit.mdb >"$dest/fruit.mdb.part"
mv -f "$dest/fruit.mdb.part" "$dest/fruit.mdb"
ls -l "$dest"/*.mdb

#!/bin/sh
# Downloads the two Debian packages that ship sample Access databases and unpacks them into
# build/test-data (never committed). Tests that need them skip when the folder is absent.
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
ls -l "$dest"/*.mdb

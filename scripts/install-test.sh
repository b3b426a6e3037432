#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and checks what lands there: both programs in
# bin/, both manual pages in share/man/man1/, the programs answering --version, and every
# switch of each program's --help named in its manual page; then builds the .deb with CPack.
# Usage: scripts/install-test.sh [build folder, default build/linux]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/linux}"
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/orvelle bin/orvelle-jet share/man/man1/orvelle.1 share/man/man1/orvelle-jet.1; do
  [ -e "$prefix/$f" ] || { echo "install-test: $f was not installed" >&2; exit 1; }
done
for p in orvelle orvelle-jet; do
  [[ "$("$prefix/bin/$p" --version)" =~ ^$p\ [0-9] ]] || { echo "install-test: $p --version" >&2; exit 1; }
  help=$("$prefix/bin/$p" --help)
  for word in $(printf '%s\n' "$help" | grep -o -- '--[a-z]*' | sort -u); do
    grep -q -- "$(echo "$word" | sed 's/-/\\\\-/g')" "$prefix/share/man/man1/$p.1" ||
      { echo "install-test: $word of $p --help is not in $p.1" >&2; exit 1; }
  done
done
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/orvelle_*.deb | head -1)
dpkg-deb -c "$deb" >"$prefix/listing"
for f in usr/bin/orvelle usr/bin/orvelle-jet usr/share/man/man1/orvelle.1 usr/share/man/man1/orvelle-jet.1; do
  grep -q " \./$f\$" "$prefix/listing" || { echo "install-test: $deb lacks $f" >&2; exit 1; }
done
echo "install-test: $prefix and $deb hold both programs and both manual pages"

#!/usr/bin/env bash
# The main job on a small real input: installs, builds, copies the sample Access databases
# that Debian ships (mrtg-contrib, fp-units-db) into a folder tree, compacts them in a console
# run (the native engine, as no DAO exists here) and shows the log and the sizes.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

bash scripts/install-deps.sh
bash scripts/fetch-test-data.sh >/dev/null
bash scripts/build.sh linux >/dev/null

demo="$root/build/demo"
rm -rf "$demo"
mkdir -p "$demo/in/archive" "$demo/out"
data="${ORVELLE_TEST_DATA:-$root/build/test-data}"
i=0
for f in "$data"/*.mdb; do
  cp "$f" "$demo/in/"
  cp "$f" "$demo/in/archive/old-$(basename "$f")"
  i=$((i + 1))
done

echo "Source files:"
(cd "$demo/in" && find . -type f | sort | sed 's/^/  /')
echo
cmd=(build/linux/orvelle "-P:Source=$demo/in/*.*db,Target=$demo/out,Subdir=1,PureConsole=1,LogFile=$demo/run.log")
echo "Running: ${cmd[*]}"
set +e
ORVELLE_QUIET="${ORVELLE_QUIET:-1}" "${cmd[@]}"
code=$?
set -e
echo "Exit code: $code"
echo
echo "Log ($demo/run.log):"
cat "$demo/run.log"
echo
echo "Sizes (bytes): source => target"
(cd "$demo/in" && find . -type f | sort) | while read -r f; do
  before=$(stat -c %s "$demo/in/$f")
  if [ -f "$demo/out/$f" ]; then after=$(stat -c %s "$demo/out/$f"); else after="(none)"; fi
  echo "  $f: $before => $after"
done

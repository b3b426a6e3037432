#!/usr/bin/env bash
# The main job on a small real input: installs, builds, copies the sample Access databases
# that Debian ships (mrtg-contrib, fp-units-db) into a folder tree, adds copies of them spread
# out with free pages (as a database looks after much deleting), compacts the whole tree in a
# console run (the native engine, as no DAO exists here) and shows the log and the sizes.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

bash scripts/install-deps.sh
bash scripts/fetch-test-data.sh >/dev/null
bash scripts/build.sh linux >/dev/null

demo="$root/build/demo"
rm -rf "$demo"
mkdir -p "$demo/in/archive" "$demo/in/bloated" "$demo/out"
data="${ORVELLE_TEST_DATA:-$root/build/test-data}"
for f in "$data"/*.mdb; do
  cp "$f" "$demo/in/"
  cp "$f" "$demo/in/archive/old-$(basename "$f")"
done

# The bloating tool is a test tool: it moves the live pages apart, leaving free pages before
# each (4 and 40 here). A database it cannot spread out (a damaged one) gets no bloated copy.
echo "Making bloated copies:"
for f in "$data"/*.mdb; do
  for gap in 4 40; do
    if ! msg=$(build/linux/orvelle-jet-bloat "$f" "$demo/in/bloated/gap$gap-$(basename "$f")" \
      "$gap" 2>&1); then
      echo "  not bloated: ${msg#orvelle-jet-bloat: }" | sed "s|$data/||"
      break
    fi
    echo "  ${msg//$data\//}" | sed "s|$demo/in/||"
  done
done
echo

sources=$(cd "$demo/in" && find . -type f | sort)
echo "Source files:"
echo "$sources" | sed 's/^\.\//  /'
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
sed "s|$demo/||g" "$demo/run.log"
echo
echo "Sizes in bytes (source => target):"
echo "$sources" | while read -r f; do
  before=$(stat -c %s "$demo/in/$f")
  if [ -f "$demo/out/$f" ]; then
    after=$(stat -c %s "$demo/out/$f")
    change=$(awk -v a="$before" -v b="$after" 'BEGIN { printf "%+.1f%%", (b - a) * 100 / a }')
  else
    after="(failed)"
    change=""
  fi
  printf '  %-30s %10s => %-10s %s\n' "${f#./}" "$before" "$after" "$change"
done
left=$(cd "$demo/in" && find . -type f | sort | comm -13 <(echo "$sources") -)
if [ -n "$left" ]; then
  echo
  echo "Working copies that failed files leave beside their source:"
  echo "$left" | sed 's/^\.\//  /'
fi

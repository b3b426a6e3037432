#!/usr/bin/env bash
# Checks that the program's layers point down: a folder under src/ includes headers of the
# folders below it only. From the bottom up:
#   platform   operating-system seams
#   jet        the native database engine (platform for files and crypto, nothing else)
#   project    options, the project, the file-name filter
#   batch      the batch framework: batch, nodes, thread base, workers
#   jobs       the convertor and the compaction jobs
#   product    product information and the exception hook
#   console    the console runner, its progress, summary and report
#   ui         the window logic and the Windows windows
#   app        start-up, the one place that knows every layer
# Tests, test tools, benchmarks and fuzz targets may include whatever they test.
# Usage: scripts/check-layers.sh [source-root]
set -euo pipefail

root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
src="$root/src"

declare -A allowed=(
  [platform]="platform"
  [jet]="jet platform"
  [project]="project platform"
  [batch]="batch project platform"
  [jobs]="jobs batch project platform jet"
  [product]="product batch project platform"
  [console]="console product jobs batch project platform"
  [ui]="ui product jobs batch project platform"
  [app]="app ui console product jobs batch project platform jet"
)

status=0
for dir in "$src"/*/; do
  layer=$(basename "$dir")
  if [ -z "${allowed[$layer]+set}" ]; then
    echo "check-layers: src/$layer is no known layer; add it to scripts/check-layers.sh" >&2
    status=1
    continue
  fi
  while IFS= read -r -d '' file; do
    rel=${file#"$src"/}
    case "$rel" in
      *_test.cpp | */testtools/* | */bench/* | */fuzz/*) continue ;;
    esac
    while IFS= read -r line; do
      number=${line%%:*}
      target=$(sed -E 's/^[0-9]+:[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"/]+)\/.*/\1/' <<<"$line")
      case " ${allowed[$layer]} " in
        *" $target "*) ;;
        *)
          echo "check-layers: src/$rel:$number includes from $target/, above $layer/" >&2
          status=1
          ;;
      esac
    done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"/]+/' "$file" || true)
  done < <(find "$dir" -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.inc' \) -print0)
done

if [ "$status" -eq 0 ]; then echo "check-layers: every include points down"; fi
exit "$status"

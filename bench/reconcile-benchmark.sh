#!/usr/bin/env bash
# Times a reconcile of a whole unchanged tree against find with the same system calls, on the
# same warm tree, side by side: each run times both, one after the other, and the medians are
# compared.
#
#   bench/reconcile-benchmark.sh [ROOT] [ITEMS] [RUNS]   defaults: $TMPDIR/quelmo-scan-tree-500000, 500000, 5
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
ITEMS=${2:-500000}
RUNS=${3:-5}
ROOT=${1:-${TMPDIR:-/tmp}/quelmo-scan-tree-$ITEMS}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
./dev.sh build >/dev/null

ensure_tree "$ROOT" "$ITEMS"
"$CLI" scan --db "$WORK/index.sqlite3" "$ROOT" > /dev/null 2>&1
find "$ROOT" -printf '%s %T@ %b\n' > /dev/null # warm


for _ in $(seq "$RUNS"); do
  seconds "$CLI" reconcile --db "$WORK/index.sqlite3" --recursive "$ROOT" >> "$WORK/reconcile.txt"
  seconds find "$ROOT" -printf '%s %T@ %b\n' >> "$WORK/find.txt"
done
reconcile=$(median < "$WORK/reconcile.txt")
find=$(median < "$WORK/find.txt")
"$CLI" reconcile --db "$WORK/index.sqlite3" --recursive "$ROOT" 2>/dev/null > "$WORK/last.json"
printf 'tree: %s (%s items), median of %s runs\n' "$ROOT" "$ITEMS" "$RUNS"
printf 'quelmo-cli reconcile --recursive  %6.2f s  (%.2fx find)  %s\n' "$reconcile" \
  "$(echo "$reconcile / $find" | bc -l)" "$(cat "$WORK/last.json")"
printf "find -printf '%%s %%T@ %%b'         %6.2f s\n" "$find"

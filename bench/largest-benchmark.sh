#!/usr/bin/env bash
# Times the largest-files list of an index against the user's alternative, find and sort over
# the same warm tree, side by side in one run (whole processes, medians), and reports the
# index's size per entry after the scan and after maintenance.
#
#   bench/largest-benchmark.sh [ROOT] [ITEMS] [RUNS]
#     defaults: $TMPDIR/quelmo-scan-tree-1130000, 1130000 items (about 1,000,000 of them
#     indexed: the rest lie in folders the index leaves out), 11 runs
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
ITEMS=${2:-1130000}
RUNS=${3:-11}
ROOT=${1:-${TMPDIR:-/tmp}/quelmo-scan-tree-$ITEMS}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
./dev.sh build >/dev/null

ensure_tree "$ROOT" "$ITEMS"
echo "scanning $ROOT" >&2
"$CLI" scan --db "$WORK/index.sqlite3" "$ROOT" > "$WORK/scan.json" 2>/dev/null
find "$ROOT" -printf '%b %p\n' > /dev/null # warm

per_entry() { # bytes of the index per indexed entry, from quelmo-cli stats
  "$CLI" stats --db "$WORK/index.sqlite3" | sed -E 's/.*"indexedItems":([0-9]+).*"indexBytes":([0-9]+).*/\2 \1/' |
    awk '{ printf "%.1f bytes per entry (%d bytes, %d entries)", $1 / $2, $1, $2 }'
}

largest=("$CLI" largest --db "$WORK/index.sqlite3" --limit 50)
find_sort="find '$ROOT' -printf '%b %p\n' | sort -n | tail -50"
for _ in $(seq 3); do "${largest[@]}" > /dev/null 2>&1; done # warm the index's pages
# Interleaved, so both meet the same machine; find takes seconds, so it runs fewer times.
for i in $(seq "$RUNS"); do
  milliseconds "${largest[@]}" >> "$WORK/largest.txt"
  milliseconds "${largest[@]}" --by size >> "$WORK/by-size.txt"
  if [ "$i" -le 3 ]; then milliseconds bash -c "$find_sort" >> "$WORK/find.txt"; fi
done
largest_ms=$(median < "$WORK/largest.txt")
size_ms=$(median < "$WORK/by-size.txt")
find_ms=$(median < "$WORK/find.txt")
after_scan=$(per_entry)
"$CLI" maintain --db "$WORK/index.sqlite3" --force > "$WORK/maintain.json" 2>/dev/null
after_maintenance=$(per_entry)

printf 'tree: %s (%s items); index %s\n' "$ROOT" "$ITEMS" "$(cut -c1-60 "$WORK/scan.json")"
printf 'quelmo-cli largest --limit 50            %8.1f ms  (median of %s whole processes; find | sort takes %.0fx as long)\n' \
  "$largest_ms" "$RUNS" "$(echo "$find_ms / $largest_ms" | bc -l)"
printf 'quelmo-cli largest --limit 50 --by size  %8.1f ms\n' "$size_ms"
printf "find -printf '%%b %%p' | sort -n | tail -50 %8.1f ms  (median of 3)\n" "$find_ms"
printf 'index after the scan:       %s\n' "$after_scan"
printf 'index after maintenance:    %s  %s\n' "$after_maintenance" "$(cat "$WORK/maintain.json")"

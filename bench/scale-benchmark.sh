#!/usr/bin/env bash
# Every figure of Quelmo's scale targets, each printed beside its target, measured in one run by
# the other benchmarks at the sizes the targets name:
#   - the index on disk after a full scan of 1,000,000 items, and the scan itself at 500,000 and
#     1,000,000 items against find -printf and plocate's updatedb (bench/scan-benchmark.sh);
#   - quelmo-cli search against plocate at 1,000,000 items, answered by a running engine and
#     read directly, and the engine's resident memory (bench/cli-search-benchmark.sh), also at
#     ENGINE_ITEMS items for the engine's memory alone;
#   - the names in memory, their loading time and every search class at 5,000,000 and LARGEST
#     entries (build/bench/search-benchmark).
# The trees and the benchmark indexes are written once under $TMPDIR and kept for later runs;
# at the defaults they take about 12 GB and the first run takes about an hour and a half.
#
#   bench/scale-benchmark.sh [LARGEST]    default 10000000 entries
#   ENGINE_ITEMS=N (default 5000000; 0 leaves it out), SEARCH_QUERIES=K (queries a class, 200);
#   for a quick try at other sizes: SCAN_ITEMS (500000, scanned and twice that), CLI_ITEMS
#   (1000000), SEARCH_SIZES ("5000000 LARGEST"). The targets stay those of the sizes above.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
LARGEST=${1:-10000000}
ENGINE_ITEMS=${ENGINE_ITEMS:-5000000}
SCAN_ITEMS=${SCAN_ITEMS:-500000}
CLI_ITEMS=${CLI_ITEMS:-1000000}
SEARCH_SIZES=${SEARCH_SIZES:-$( [ "$LARGEST" = 5000000 ] && echo 5000000 || echo "5000000 $LARGEST")}
SEARCH_QUERIES=${SEARCH_QUERIES:-200}
TREES=${TMPDIR:-/tmp}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
install_missing "bc python3" "bc python3"
./dev.sh build >/dev/null

figures="$WORK/figures.tsv" # figure <TAB> ours <TAB> target <TAB> met (yes/no)
figure() { # figure NAME VALUE TARGET-TEXT CONDITION (bc, 1 when met)
  printf '%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$([ "$(echo "$4" | bc -l)" = 1 ] && echo yes || echo no)" >> "$figures"
}
section() { printf '\n== %s (%s)\n' "$1" "$(date +%H:%M:%S)" >&2; }
ratio() { printf '%.2fx' "$(echo "$1 / $2" | bc -l)"; }

# --- the full scan, and the index it writes ---
half=$SCAN_ITEMS
full=$((SCAN_ITEMS * 2))
for items in "$half" "$full"; do
  section "full scan of $items items"
  bench/scan-benchmark.sh "$TREES/quelmo-scan-tree-$items" "$items" | tee "$WORK/scan-$items.txt" >&2
done
scan_figures() { # seconds and peak MB of quelmo-cli scan, find's and updatedb's seconds
  sed -n 's/^quelmo-cli scan *\([0-9.]*\) s.*peak memory \([0-9]*\) MB.*/\1 \2/p' "$1"
  sed -n 's/^find -printf *\([0-9.]*\) s/\1/p; s/^updatedb *\([0-9.]*\) s/\1/p' "$1"
}
{ read -r scan_half peak_half; read -r find_half; read -r updatedb_half; } < <(scan_figures "$WORK/scan-$half.txt")
{ read -r scan_full peak_full; read -r _; read -r _; } < <(scan_figures "$WORK/scan-$full.txt")
figure "scan of $half items / find -printf" "$(ratio "$scan_half" "$find_half")" "<= 1.5x" "$scan_half / $find_half <= 1.5"
figure "scan of $half items / updatedb" "$(ratio "$scan_half" "$updatedb_half")" "<= 1.0x" "$scan_half / $updatedb_half <= 1.0"
figure "scan peak memory, $half / $full items" "$peak_half / $peak_full MB" "<= 150 MB" "$peak_half <= 150 && $peak_full <= 150"
figure "scan of $full items / scan of $half items" "$(ratio "$scan_full" "$scan_half")" "<= 2.2x" "$scan_full / $scan_half <= 2.2"

section "the index after a full scan of $full items"
"$CLI" scan --db "$WORK/scanned.sqlite3" "$TREES/quelmo-scan-tree-$full" > /dev/null 2>&1
stats=$("$CLI" stats --db "$WORK/scanned.sqlite3")
echo "$stats" >&2
index_bytes=$(echo "$stats" | sed -n 's/.*"indexBytes":\([0-9]*\).*/\1/p')
index_items=$(echo "$stats" | sed -n 's/.*"indexedItems":\([0-9]*\).*/\1/p')
per_entry=$(echo "$index_bytes / $index_items" | bc -l)
figure "index on disk after a scan of $full items" "$(printf '%.0f bytes an entry' "$per_entry")" "<= 120" "$per_entry <= 120"
rm -f "$WORK"/scanned.sqlite3*

# --- quelmo-cli search against plocate, and the engine's memory ---
for items in $CLI_ITEMS $([ "$ENGINE_ITEMS" -gt 0 ] && [ "$ENGINE_ITEMS" != "$CLI_ITEMS" ] && echo "$ENGINE_ITEMS"); do
  section "quelmo-cli search and plocate over $items items"
  if [ "$items" = "$CLI_ITEMS" ]; then
    bench/cli-search-benchmark.sh "$items" | tee "$WORK/cli-$items.txt" >&2
  else
    bench/cli-search-benchmark.sh "$items" 1 1 | tee "$WORK/cli-$items.txt" >&2 # its memory alone
  fi
  engine_mb=$(sed -n 's/.*the engine (quelmo-cli watch) \([0-9]*\) MB resident.*/\1/p' "$WORK/cli-$items.txt")
  target=$([ "$items" -le 1000000 ] && echo 150 || echo 600)
  figure "engine resident memory, $items items" "$engine_mb MB" "<= $target MB" "$engine_mb <= $target"
done
worst() { # the largest ratio over the classes: column 1 served, 0 direct, counted from the end
  awk -v from_end="$1" '$NF ~ /x$/ && $1 != "median" {
      value = $(NF - from_end); sub("x", "", value)
      name = $1; for (i = 2; i <= NF - 5; i++) name = name " " $i
      if (value + 0 > m + 0) { m = value; c = name } } END { print m, c }' "$WORK/cli-$CLI_ITEMS.txt"
}
read -r served served_class < <(worst 1)
read -r direct direct_class < <(worst 0)
figure "search served by the engine / plocate, worst class" "${served}x ($served_class)" "<= 1.5x" "$served <= 1.5"
figure "search --direct / plocate, worst class" "${direct}x ($direct_class)" "<= 2x" "$direct <= 2"

# --- the names in memory and every search class ---
mkdir -p "$TREES/quelmo-bench"
for entries in $SEARCH_SIZES; do
  section "search-benchmark at $entries entries (the first run builds its index)"
  "$BUILD_DIR/bench/search-benchmark" --entries "$entries" --queries "$SEARCH_QUERIES" \
    --db "$TREES/quelmo-bench/search-$entries.sqlite3" | tee "$WORK/search-$entries.txt" >&2
  # The names' own bytes, as the catalogue counts them (the resident growth beside it also
  # holds SQLite's caches and the heap's free room).
  read -r names < <(sed -n 's/^search names loaded in [0-9.]* s, .*MB, \([0-9.]*\) bytes per entry$/\1/p' "$WORK/search-$entries.txt")
  figure "names in memory, $entries entries" "$(printf '%.0f bytes an entry' "$names")" "<= 50" "$names <= 50"
  # A launch after a clean stop reads the names file; the first launch, the rows.
  read -r load_seconds row_seconds < <(sed -n 's/^search names loaded from the names file in \([0-9.]*\) s (from the rows: \([0-9.]*\) s).*$/\1 \2/p' "$WORK/search-$entries.txt")
  per5m=$(echo "$load_seconds * 5000000 / $entries" | bc -l)
  figure "loading the names, $entries entries" "$(printf '%.2f s, %.2f s per 5,000,000 (from the rows: %.2f s)' "$load_seconds" "$per5m" "$row_seconds")" "<= 1 s per 5,000,000" "$per5m <= 1"
  target=$([ "$entries" -le 5000000 ] && echo 20 || echo 40)
  # A class line: its name (words), then n, p50, p95, p99, max and the mean results.
  read -r worst_p99 worst_class < <(awk 'NF >= 7 && $(NF-5) ~ /^[0-9]+$/ && $(NF-2) ~ /^[0-9.]+$/ {
      name = $1; for (i = 2; i <= NF - 6; i++) name = name " " $i
      if ($(NF-2) + 0 > m + 0) { m = $(NF-2); c = name } } END { print m, c }' "$WORK/search-$entries.txt")
  figure "search p99, worst class, $entries entries" "$worst_p99 ms ($worst_class)" "<= $target ms" "$worst_p99 <= $target"
done

printf '\n%s cores; every ratio measured side by side in this run\n\n' "$(nproc)"
printf '%-52s %-38s %-22s %s\n' "figure" "ours" "target" "met"
while IFS=$'\t' read -r name ours target met; do
  printf '%-52s %-38s %-22s %s\n' "$name" "$ours" "$target" "$met"
done < "$figures"

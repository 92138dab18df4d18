#!/usr/bin/env bash
# Times changes of the custom exclusions against full scans, side by side on the same warm
# tree: two folders of 30% of the tree each are excluded (their entries removed) and the
# exclusion cleared again (read back in), beside a full scan of the whole tree and one of the
# two folders alone (the same items), each over the index it replaces. Each run times all
# four; the medians are compared.
#
#   bench/exclusion-benchmark.sh [ROOT] [ITEMS] [RUNS]   defaults: $TMPDIR/quelmo-exclusion-tree-500000, 500000, 3
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
ITEMS=${2:-500000}
RUNS=${3:-3}
ROOT=${1:-${TMPDIR:-/tmp}/quelmo-exclusion-tree-$ITEMS}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
./dev.sh build >/dev/null

if [ ! -d "$ROOT" ]; then
  mkdir -p "$ROOT"
  part=$((ITEMS * 3 / 10))
  ensure_tree "$ROOT/one" "$part"
  ensure_tree "$ROOT/two" "$part"
  ensure_tree "$ROOT/rest" "$((ITEMS - 2 * part))"
fi
find "$ROOT" -printf '%s %T@ %b\n' > /dev/null # warm

DB="$WORK/index.sqlite3"
"$CLI" scan --db "$DB" "$ROOT" > /dev/null 2>&1
for _ in $(seq "$RUNS"); do
  # Both scans over an index they replace, as Reindex Computer does.
  seconds "$CLI" scan --db "$WORK/parts.sqlite3" "$ROOT/one" "$ROOT/two" >> "$WORK/parts.txt"
  seconds "$CLI" scan --db "$DB" "$ROOT" >> "$WORK/scan.txt"
  seconds "$CLI" exclude --db "$DB" "$ROOT/one" "$ROOT/two" >> "$WORK/exclude.txt"
  "$CLI" stats --db "$DB" > "$WORK/excluded.json"
  seconds "$CLI" exclude --db "$DB" >> "$WORK/clear.txt"
done
"$CLI" stats --db "$DB" > "$WORK/cleared.json"
"$CLI" scan --db "$WORK/fresh.sqlite3" "$ROOT" > /dev/null 2>&1
count() { sed -n 's/.*"indexedItems":\([0-9]*\).*/\1/p' "$1"; }
"$CLI" stats --db "$WORK/fresh.sqlite3" > "$WORK/fresh.json"

scan=$(median < "$WORK/scan.txt")
parts=$(median < "$WORK/parts.txt")
exclude=$(median < "$WORK/exclude.txt")
clear=$(median < "$WORK/clear.txt")
ratio() { printf '%.2fx the same items, %.2fx the whole tree' "$(echo "$1 / $parts" | bc -l)" "$(echo "$1 / $scan" | bc -l)"; }
printf 'tree: %s (%s entries indexed; %s without one/ and two/), median of %s runs\n' "$ROOT" \
  "$(count "$WORK/fresh.json")" "$(count "$WORK/excluded.json")" "$RUNS"
printf 'quelmo-cli scan ROOT                    %6.2f s\n' "$scan"
printf 'quelmo-cli scan ROOT/one ROOT/two       %6.2f s  (the same items)\n' "$parts"
printf 'quelmo-cli exclude ROOT/one ROOT/two    %6.2f s  (%s)\n' "$exclude" "$(ratio "$exclude")"
printf 'quelmo-cli exclude (cleared)            %6.2f s  (%s)\n' "$clear" "$(ratio "$clear")"
[ "$(count "$WORK/cleared.json")" = "$(count "$WORK/fresh.json")" ] || echo "after clearing, the index holds $(count "$WORK/cleared.json") entries, a fresh scan $(count "$WORK/fresh.json")"

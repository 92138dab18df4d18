#!/usr/bin/env bash
# Times a full scan against the tools users compare us with, on the same warm tree, in one
# run: quelmo-cli scan, find with the same system calls (the floor), fdfind and plocate's
# updatedb.
#
#   bench/scan-benchmark.sh [ROOT] [ITEMS]     defaults: $TMPDIR/quelmo-scan-tree, 500000
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
ITEMS=${2:-500000}
ROOT=${1:-${TMPDIR:-/tmp}/quelmo-scan-tree-$ITEMS}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

install_missing "fdfind updatedb /usr/bin/time" "fd-find plocate time"
./dev.sh build >/dev/null

ensure_tree "$ROOT" "$ITEMS"

# Warm the tree into the page cache.
find "$ROOT" -printf '%s %T@ %b\n' > /dev/null
fdfind -HI --no-ignore . "$ROOT" > /dev/null


QUELMO_SCAN_PHASES=1 /usr/bin/time -o "$WORK/time.txt" -f '%e %M' "$CLI" scan --db "$WORK/index.sqlite3" "$ROOT" > "$WORK/scan.json" 2> "$WORK/scan.err"
read -r quelmo_seconds quelmo_kb < "$WORK/time.txt"
find_seconds=$(seconds find "$ROOT" -printf '%s %T@ %b\n')
fd_seconds=$(seconds fdfind -HI --no-ignore . "$ROOT")
updatedb_seconds=$(seconds updatedb -l no -U "$ROOT" -o "$WORK/plocate.db" --prunepaths "" --prunenames "" --prunefs "")

printf 'tree: %s (%s items)\n' "$ROOT" "$ITEMS"
printf 'quelmo-cli scan  %7.2f s  (%.2fx find)  peak memory %d MB  %s\n' "$quelmo_seconds" \
  "$(echo "$quelmo_seconds / $find_seconds" | bc -l)" "$((quelmo_kb / 1024))" "$(cut -c1-80 "$WORK/scan.json")"
printf '                 %s\n' "$(grep '^walk' "$WORK/scan.err")"
printf 'find -printf     %7.2f s\n' "$find_seconds"
printf 'fdfind           %7.2f s\n' "$fd_seconds"
printf 'updatedb         %7.2f s\n' "$updatedb_seconds"

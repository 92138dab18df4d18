#!/usr/bin/env bash
# Times how long a live index takes to catch up with a burst of changes, side by side with a
# full scan of the same tree in the same run, and follows the engine's memory meanwhile.
#
# A make-tree tree of ITEMS items (one folder of MOVED of them) is indexed by `quelmo-cli
# watch` until "Index ready"; then a churn of OPERATIONS changes as fast as a script makes
# them (files created, written, renamed and deleted, folders made, renamed and deleted, the
# MOVED folder moved out of the tree and back in elsewhere) while four loops search as a user
# would. Caught up is the first moment after the churn at which the engine says "Index ready"
# and its index holds as many entries as `find` counts on the disk; in the end the whole index
# (every path, kind, size and time) is compared with a fresh scan of the tree, which is the
# scan timed. The engine's resident memory: settled before the churn, its peak during it and
# idle, 30 s after it caught up and the searches stopped.
#
#   bench/churn-benchmark.sh [ITEMS] [OPERATIONS]   defaults: 250000, 20000
#   MOVED=N: items of the folder moved out and in (50000); SEARCH_LOOPS=0: no searches meanwhile
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
ITEMS=${1:-250000}
OPERATIONS=${2:-20000}
MOVED=${MOVED:-50000}
WORK=$(mktemp -d)
cleanup() {
  touch "$WORK/stop"
  if [ -f "$WORK/watch.pid" ]; then kill "$(cat "$WORK/watch.pid")" 2>/dev/null || true; sleep 1; fi
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
install_missing "python3 sqlite3 bc" "python3 sqlite3 bc"
./dev.sh build >/dev/null

TREE="$WORK/tree"
DB="$WORK/live/index.sqlite3"
export XDG_RUNTIME_DIR="$WORK/runtime" XDG_DATA_HOME="$WORK/data" NEXDIR_DEBUG_LOG_PATH="$WORK/debug.log"
mkdir -m 700 "$XDG_RUNTIME_DIR"
mkdir -p "$WORK/outside" "$WORK/live"
echo "writing $ITEMS items under $TREE" >&2
"$BUILD_DIR/bench/make-tree" "$TREE" --items "$((ITEMS - MOVED))" > /dev/null
"$BUILD_DIR/bench/make-tree" "$TREE/moved" --items "$MOVED" > /dev/null
find "$TREE" -printf '%s %T@ %b\n' > /dev/null # warm

READY=$'Index ready \u2022 watching for changes'
rss() { awk -v key="$2:" '$1 == key { print int($2 / 1024) }' "/proc/$1/status"; }
indexed() { "$CLI" stats --db "$DB" 2>/dev/null | sed -n 's/.*"indexedItems":\([0-9]*\).*/\1/p'; }
# What the index should hold: every path but what the built-in rules leave out of this tree.
on_disk() { find "$TREE" \( -name .git -o -name node_modules -o -name __pycache__ \) -prune -o -print | wc -l; }
now() { date +%s.%N; }
cpu() { awk '{ print ($14 + $15) / 100 }' "/proc/$1/stat"; } # user and system seconds

echo "quelmo-cli watch: first scan" >&2
"$CLI" watch --db "$DB" "$TREE" > "$WORK/status.txt" 2> "$WORK/watch.err" &
WATCH=$!
echo "$WATCH" > "$WORK/watch.pid"
until [ "$(tail -n 1 "$WORK/status.txt")" = "$READY" ]; do
  kill -0 "$WATCH" 2>/dev/null || { cat "$WORK/watch.err" >&2; exit 1; }
  sleep 0.2
done
"$CLI" search --db "$DB" report > /dev/null || true # the names come into memory
sleep 10
settled=$(rss "$WATCH" VmRSS)
settled_anon=$(rss "$WATCH" RssAnon)
echo 5 > "/proc/$WATCH/clear_refs" # the peak is counted from here

# Four users searching meanwhile, a query every tenth of a second each.
for words in "report 2021" "photo" "invoice final" "notes meeting draft"; do
  [ "${SEARCH_LOOPS:-4}" -gt 0 ] || break
  (while [ ! -e "$WORK/stop" ]; do
    # shellcheck disable=SC2086 # one argument per word
    "$CLI" search --db "$DB" --limit 20 $words > /dev/null 2>&1 || true
    sleep 0.1
  done) &
done

echo "churn: $OPERATIONS operations" >&2
python3 - "$TREE" "$WORK/outside" "$OPERATIONS" > "$WORK/churn.json" <<'PY'
import json, os, random, shutil, sys, time
tree, outside, total = sys.argv[1], sys.argv[2], int(sys.argv[3])
moved = os.path.join(tree, "moved")
left_out = {".git", "node_modules", "__pycache__"}
rng = random.Random(24)
files, folders, leaves = [], [], []
for folder, subfolders, names in os.walk(tree):
    subfolders[:] = [s for s in subfolders if s not in left_out and os.path.join(folder, s) != moved]
    folders.append(folder)
    if not subfolders and folder != tree:
        leaves.append(folder)
    files += [os.path.join(folder, n) for n in names if not os.path.islink(os.path.join(folder, n))]
counts = {}
done = 0

def did(kind, n=1):
    global done
    counts[kind] = counts.get(kind, 0) + n
    done += n

def take(items):
    i = rng.randrange(len(items))
    items[i], items[-1] = items[-1], items[i]
    return items.pop()

started = time.monotonic()
made = 0
while done < total:
    made += 1
    if done >= total // 3 and "subtree moved out" not in counts:
        os.rename(moved, os.path.join(outside, "moved"))
        did("subtree moved out")
        continue
    if done >= 2 * total // 3 and "subtree moved in" not in counts:
        os.rename(os.path.join(outside, "moved"), os.path.join(rng.choice(folders), "moved-back"))
        did("subtree moved in")
        continue
    roll = rng.random()
    try:
        if roll < 0.30:
            path = os.path.join(rng.choice(folders), f"churn-{made}.txt")
            with open(path, "wb") as out:
                out.write(b"x" * rng.randrange(1, 4096))
            files.append(path)
            did("files created")
        elif roll < 0.50 and files:
            os.unlink(take(files))
            did("files deleted")
        elif roll < 0.70 and files:
            source = take(files)
            target = os.path.join(rng.choice(folders), f"renamed-{made}-{os.path.basename(source)}")
            os.rename(source, target)
            files.append(target)
            did("files renamed")
        elif roll < 0.90 and files:
            with open(rng.choice(files), "ab") as out:
                out.write(b"y" * rng.randrange(1, 4096))
            did("files written")
        elif roll < 0.94:
            path = os.path.join(rng.choice(folders), f"folder-{made}")
            os.mkdir(path)
            folders.append(path)
            leaves.append(path)
            did("folders created")
        elif roll < 0.97 and leaves:
            source = take(leaves)
            target = os.path.join(os.path.dirname(source), f"renamed-{made}")
            os.rename(source, target)
            leaves.append(target)
            did("folders renamed")
        elif leaves:
            gone = take(leaves)
            inside = sum(len(n) + 1 for _, _, n in os.walk(gone))
            shutil.rmtree(gone)
            did("folders deleted", 1)
            did("items deleted with them", inside - 1)
    except OSError:
        pass  # a path a folder rename or deletion took along: the next pick
json.dump({"seconds": time.monotonic() - started, "operations": done, **counts}, sys.stdout)
PY
churned=$(now)
cpu_churned=$(cpu "$WATCH")
echo "waiting for the engine to catch up" >&2
expected=$(on_disk)
until [ "$(tail -n 1 "$WORK/status.txt")" = "$READY" ] && [ "$(indexed)" = "$expected" ]; do
  kill -0 "$WATCH" 2>/dev/null || { cat "$WORK/watch.err" >&2; exit 1; }
  if [ "$(echo "$(now) - $churned > 1800" | bc)" = 1 ]; then
    echo "not caught up 30 minutes after the churn: $(tail -n 1 "$WORK/status.txt"), $(indexed) of $expected entries" >&2
    exit 1
  fi
  sleep 0.1
done
caught_up=$(echo "$(now) - $churned" | bc -l)
catch_up_cpu=$(echo "$(cpu "$WATCH") - $cpu_churned" | bc -l)
touch "$WORK/stop" # idle as it was when settled: nobody searching
sleep 30
peak=$(rss "$WATCH" VmHWM)
after=$(rss "$WATCH" VmRSS)
after_anon=$(rss "$WATCH" RssAnon)
touch "$WORK/stop"
kill "$WATCH"
wait "$WATCH" || true
sleep 0.5

echo "quelmo-cli scan of the same tree" >&2
scan=$(seconds "$CLI" scan --db "$WORK/fresh.sqlite3" "$TREE")
dump() {
  sqlite3 -readonly "$1" "WITH RECURSIVE p(id, path, d, s, m) AS (
      SELECT id, name, is_directory, size, modified_at FROM entries WHERE parent_id = 0
      UNION ALL SELECT e.id, p.path || '/' || e.name, e.is_directory, e.size, e.modified_at
      FROM entries e JOIN p ON e.parent_id = p.id)
    SELECT path, d, s, m FROM p ORDER BY path;" > "$2"
}
dump "$DB" "$WORK/live.txt"
dump "$WORK/fresh.sqlite3" "$WORK/fresh.txt"

printf 'tree: %s items (%s entries after the churn), churn: %s\n' "$ITEMS" "$expected" "$(cat "$WORK/churn.json")"
printf 'catch-up after the churn   %7.2f s  (%.2fx the scan; the engine used %.1f s of processor time meanwhile)\n' \
  "$caught_up" "$(echo "$caught_up / $scan" | bc -l)" "$catch_up_cpu"
printf 'quelmo-cli scan            %7.2f s\n' "$scan"
printf 'watch resident memory      settled %s MB (%s anonymous), peak %s MB, idle after the churn %s MB (%s anonymous)\n' \
  "$settled" "$settled_anon" "$peak" "$after" "$after_anon"
printf 'verifications: %s; region batches queued a second or more: %s\n' \
  "$(grep -c 'region verification begin' "$WORK/debug.log" || true)" "$(grep -c 'region batch queued' "$WORK/debug.log" || true)"
if cmp -s "$WORK/live.txt" "$WORK/fresh.txt"; then
  echo "the live index equals a fresh scan of the disk ($(wc -l < "$WORK/live.txt") entries)"
else
  echo "THE LIVE INDEX DIFFERS from a fresh scan of the disk:"
  diff "$WORK/live.txt" "$WORK/fresh.txt" | head -20
  exit 1
fi

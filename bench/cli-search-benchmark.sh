#!/usr/bin/env bash
# Times `quelmo-cli search` as a user meets it, whole processes, against plocate over the same
# warm tree, side by side in one run: answered by a running engine (quelmo-cli watch), and
# read from the index directly (--direct, as when nothing runs). Query classes are those of
# search-benchmark, drawn from the names make-tree wrote. Also the clients' peak memory.
#
#   bench/cli-search-benchmark.sh [ITEMS] [QUERIES_PER_CLASS] [RUNS]
#     defaults: 500000 items under $TMPDIR/quelmo-scan-tree-ITEMS, 5 queries a class, each
#     timed as the median of 5 runs
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
ITEMS=${1:-500000}
PER_CLASS=${2:-5}
RUNS=${3:-5}
ROOT=${TMPDIR:-/tmp}/quelmo-scan-tree-$ITEMS
WORK=$(mktemp -d)
cleanup() {
  if [ -f "$WORK/watch.pid" ]; then kill "$(cat "$WORK/watch.pid")" 2>/dev/null || true; sleep 0.5; fi
  rm -rf "$WORK"
}
trap cleanup EXIT
install_missing "plocate updatedb python3 /usr/bin/time" "plocate python3 time"
./dev.sh build >/dev/null
DB="$WORK/index.sqlite3"
export XDG_RUNTIME_DIR="$WORK/runtime" XDG_DATA_HOME="$WORK/data"
mkdir -m 700 "$XDG_RUNTIME_DIR"

ensure_tree "$ROOT" "$ITEMS"
echo "indexing $ROOT with quelmo-cli scan and plocate's updatedb" >&2
"$CLI" scan --db "$DB" "$ROOT" > "$WORK/scan.json" 2>/dev/null
updatedb -l no -U "$ROOT" -o "$WORK/plocate.db" --prunepaths "" --prunenames "" --prunefs ""
"$BUILD_DIR/bench/search-benchmark" --entries "$ITEMS" --seed 500000 --queries "$PER_CLASS" \
  --print-queries > "$WORK/queries.tsv"

# Without a server first, then with quelmo-cli watch answering.
ROOT="$ROOT" python3 - "$CLI" "$DB" "$WORK" "$RUNS" <<'PY'
import os, subprocess, sys, time, statistics, json
cli, db, work, runs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
# The plain classes: plocate has no filters or operators to compare ours with.
queries = [line.rstrip("\n").split("\t", 1) for line in open(f"{work}/queries.tsv")]
queries = [(cls, q) for cls, q in queries if " alone" not in cls and " + " not in cls]

def run(command):
    """Wall milliseconds of one whole process."""
    started = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return (time.perf_counter() - started) * 1000

def peak(command):
    """Peak resident kilobytes of one process, measured by time(1) outside this interpreter."""
    measured = subprocess.run(["/usr/bin/time", "-f", "%M", *command], stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, text=True)
    return int(measured.stderr.strip().splitlines()[-1])

def measure(make_command):
    times, peaks = {}, []
    for cls, query in queries:
        samples = [run(make_command(query)) for _ in range(runs)]
        times.setdefault(cls, []).append(statistics.median(samples))
        peaks.append(peak(make_command(query)))
    return {cls: statistics.median(t) for cls, t in times.items()}, max(peaks)

search = lambda *options: lambda q: [cli, "search", "--db", db, *options, *q.split()]
plocate = lambda q: ["plocate", "-d", f"{work}/plocate.db", "-l", "50", *q.split()]
for _ in range(3):  # warm every file's pages
    for command in (search("--direct")("a b"), plocate("a b")):
        run(command)
for cls, query in queries:  # and what each query reads
    run(search("--direct")(query)); run(plocate(query))

direct, direct_peak = measure(search("--direct"))
locate, locate_peak = measure(plocate)
# Where a direct search spends its time: the process alone, opening the index, the search.
start_ms = statistics.median(run([cli, "help"]) for _ in range(9))
open_ms = statistics.median(run([cli, "stats", "--db", db]) for _ in range(9))

watch = subprocess.Popen([cli, "watch", "--db", db, os.environ["ROOT"]],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
with open(f"{work}/watch.pid", "w") as pid:
    pid.write(str(watch.pid))
for line in watch.stdout:
    if line.startswith("Index ready"):
        break
served, served_peak = measure(search())
with open(f"/proc/{watch.pid}/status") as status:
    engine_rss = next(l.split()[1] for l in status if l.startswith("VmRSS"))
watch.terminate()
watch.wait()

print(f"{'class':<16} {'served':>8} {'direct':>8} {'plocate':>8}  served/plocate  direct/plocate")
for cls in direct:
    print(f"{cls:<16} {served[cls]:7.1f}ms {direct[cls]:7.1f}ms {locate[cls]:7.1f}ms"
          f"  {served[cls] / locate[cls]:13.2f}x  {direct[cls] / locate[cls]:13.2f}x")
all_served = statistics.median(served.values()); all_direct = statistics.median(direct.values())
all_locate = statistics.median(locate.values())
print(f"{'median of classes':<16} {all_served:6.1f}ms {all_direct:7.1f}ms {all_locate:7.1f}ms"
      f"  {all_served / all_locate:13.2f}x  {all_direct / all_locate:13.2f}x")
print(f"peak memory: served client {served_peak / 1024:.1f} MB, direct client "
      f"{direct_peak / 1024:.1f} MB (with the index pages it maps), plocate {locate_peak / 1024:.1f} MB; "
      f"the engine (quelmo-cli watch) {int(engine_rss) / 1024:.0f} MB resident")
print(f"a direct search: process start and exit {start_ms:.1f} ms, opening the index "
      f"(quelmo-cli stats) {open_ms:.1f} ms")
PY

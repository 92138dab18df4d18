#!/usr/bin/env bash
# Starts the real quelmo over a small index on a virtual display, as a new user would, and
# checks that it shows its panel and quits cleanly when asked to.
set -euo pipefail
QUELMO=$1
QUELMO_CLI=$2
WORK=$(mktemp -d)
runner=
trap '{ [ -n "$runner" ] && kill "$runner" 2>/dev/null; } || true; rm -rf "$WORK"' EXIT
export XDG_DATA_HOME="$WORK/data" XDG_CONFIG_HOME="$WORK/config" XDG_RUNTIME_DIR="$WORK/runtime"
export NEXDIR_DEBUG_LOG_PATH="$WORK/debug.log" NEXDIR_ROOTS="$WORK/tree"
mkdir -p "$WORK/tree/docs" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
touch "$WORK/tree/docs/quarterly-report.pdf"
"$QUELMO_CLI" scan "$WORK/tree" > /dev/null 2>&1

version=$("$QUELMO" --version)
[[ "$version" =~ ^Quelmo\ .+\ \(.+\)\ •\ .+\ •\ .+$ ]] || { echo "bad --version: $version"; exit 1; }

xvfb-run -a "$QUELMO" > "$WORK/out.txt" 2>&1 &
runner=$!
for _ in $(seq 100); do
  grep -q " panel shown " "$WORK/debug.log" 2>/dev/null && break
  sleep 0.1
done
grep -q " panel shown " "$WORK/debug.log" || { echo "the panel never showed"; cat "$WORK/out.txt"; exit 1; }

# Launching again shows the running copy's panel and ends at once.
# (The second copy needs no screen of its own: it only asks the first.)
QT_QPA_PLATFORM=offscreen timeout 10 "$QUELMO" || { echo "a second launch failed"; exit 1; }
for _ in $(seq 50); do
  grep -q " panel shown for another launch " "$WORK/debug.log" && break
  sleep 0.1
done
grep -q " panel shown for another launch " "$WORK/debug.log" || { echo "the second launch was not handed over"; exit 1; }
# Stop the copy this script started, and only that one: its process id is on its log lines.
pid=$(grep -m1 " launch session=" "$WORK/debug.log" | sed -n 's/.* pid=\([0-9]*\) launch .*/\1/p')
[ -n "$pid" ] || { echo "no launch line with a process id"; cat "$WORK/debug.log"; exit 1; }
kill -TERM "$pid"
status=0
wait "$runner" || status=$?
[ "$status" -eq 0 ] || { echo "quelmo exited with $status"; cat "$WORK/out.txt"; exit 1; }
grep -q " session end seconds=" "$WORK/debug.log" || { echo "no clean session end"; cat "$WORK/debug.log"; exit 1; }
echo "quelmo showed its panel and quit cleanly"

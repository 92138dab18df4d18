# What the scripts that run the real quelmo on a virtual display share. Sourced after
# `set -euo pipefail` with QUELMO and QUELMO_CLI set: everything lives in a temporary folder,
# removed on exit, with the tree to index at $WORK/tree.
WORK=$(mktemp -d)
runner=
trap '{ [ -n "$runner" ] && kill "$runner" 2>/dev/null; } || true; rm -rf "$WORK"' EXIT
export XDG_DATA_HOME="$WORK/data" XDG_CONFIG_HOME="$WORK/config" XDG_RUNTIME_DIR="$WORK/runtime"
export NEXDIR_DEBUG_LOG_PATH="$WORK/debug.log" NEXDIR_ROOTS="$WORK/tree"
INDEX="$XDG_DATA_HOME/Nexdir/index-v2.sqlite3"
mkdir -p "$WORK/tree" "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME/Quelmo" && chmod 700 "$XDG_RUNTIME_DIR"
# A user who has seen the first launch's notice: launches go straight to indexing.
printf '[General]\ndidShowFullDiskAccessOnboarding=true\n' > "$XDG_CONFIG_HOME/Quelmo/Quelmo.conf"

fail() {
  echo "$1"
  cat "$WORK/out.txt" 2>/dev/null || true
  tail -30 "$WORK/debug.log" 2>/dev/null || true
  exit 1
}
# Waits up to $2 tenths of a second for the log to hold $1 more than $3 times.
wait_for_log() {
  for _ in $(seq "$2"); do
    local count
    count=$(grep -c -- "$1" "$WORK/debug.log" 2>/dev/null || true)
    [ "${count:-0}" -gt "${3:-0}" ] && return 0
    sleep 0.1
  done
  return 1
}
launch() {
  xvfb-run -a "$QUELMO" > "$WORK/out.txt" 2>&1 &
  runner=$!
}
# Stops the copy this script launched last, and only that one: its process id is on its log
# lines. It must end cleanly.
stop() {
  local pid
  pid=$(grep -E " pid=[0-9]+ launch session=" "$WORK/debug.log" | tail -1 |
    sed -n 's/.* pid=\([0-9]*\) launch .*/\1/p')
  [ -n "$pid" ] || fail "no launch line with a process id"
  kill -TERM "$pid"
  local status=0
  wait "$runner" || status=$?
  runner=
  [ "$status" -eq 0 ] || fail "quelmo exited with $status"
}

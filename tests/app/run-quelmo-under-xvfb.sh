#!/usr/bin/env bash
# Starts the real quelmo over a small index on a virtual display, as a new user would, and
# checks that it shows its panel and quits cleanly when asked to.
set -euo pipefail
QUELMO=$1
QUELMO_CLI=$2
source "$(dirname "$0")/xvfb-support.sh"
mkdir -p "$WORK/tree/docs"
touch "$WORK/tree/docs/quarterly-report.pdf"
"$QUELMO_CLI" scan "$WORK/tree" > /dev/null 2>&1

version=$("$QUELMO" --version)
[[ "$version" =~ ^Quelmo\ .+\ \(.+\)\ •\ .+\ •\ .+$ ]] || fail "bad --version: $version"

launch
wait_for_log " panel shown " 100 || fail "the panel never showed"

# Launching again shows the running copy's panel and ends at once.
# (The second copy needs no screen of its own: it only asks the first.)
QT_QPA_PLATFORM=offscreen timeout 10 "$QUELMO" || fail "a second launch failed"
wait_for_log " panel shown for another launch " 50 || fail "the second launch was not handed over"
stop
grep -q " session end seconds=" "$WORK/debug.log" || fail "no clean session end"
echo "quelmo showed its panel and quit cleanly"

#!/usr/bin/env bash
# The real quelmo keeps its own index live: from an empty data directory it builds the index,
# follows a change within 2 s, and after a stop and changes made meanwhile, a new launch
# resumes and verifies instead of scanning again.
set -euo pipefail
QUELMO=$1
QUELMO_CLI=$2
source "$(dirname "$0")/xvfb-support.sh"
mkdir -p "$WORK/tree/docs/old"
touch "$WORK/tree/docs/quarterly-report.pdf" "$WORK/tree/docs/old/leaving.txt"

found() { "$QUELMO_CLI" search --db "$INDEX" "$1" 2>/dev/null | grep -q -- "$2"; }

launch
wait_for_log " startup cursor=nil " 300 || fail "no launch check"
wait_for_log " scan installed items=" 300 || fail "the first launch built no index"
wait_for_log " recovery state ready=true " 300 || fail "the index never became ready"
found quarterly "quarterly-report.pdf" || fail "the scanned file is not found"

touch "$WORK/tree/docs/fresh-notes.txt"
for _ in $(seq 20); do found fresh "fresh-notes.txt" && break; sleep 0.1; done
found fresh "fresh-notes.txt" || fail "a new file was not searchable within 2 s"
# Command-line searches are answered by the running application, as reading the index answers.
"$QUELMO_CLI" search --db "$INDEX" --verbose --long report > "$WORK/served.txt" 2> "$WORK/served-err.txt"
grep -q "^answered by the running engine of " "$WORK/served-err.txt" || fail "quelmo did not answer quelmo-cli: $(cat "$WORK/served-err.txt")"
"$QUELMO_CLI" search --db "$INDEX" --direct --long report > "$WORK/direct.txt" 2>/dev/null
cmp -s "$WORK/served.txt" "$WORK/direct.txt" || fail "quelmo answered otherwise than the index reads"
stop
[ -z "$(ls -A "$XDG_RUNTIME_DIR/quelmo")" ] || fail "quelmo left its socket behind"

# While Quelmo is not running.
touch "$WORK/tree/docs/while-away.txt"
rm "$WORK/tree/docs/old/leaving.txt"
scans=$(grep -c " scan operation begin " "$WORK/debug.log")
launch
wait_for_log " startup cursor=[0-9]" 300 || fail "the later launch did not resume"
wait_for_log " region verification begin " 300 || fail "the later launch did not verify"
wait_for_log " recovery state ready=true " 300 1 || fail "the later launch never became ready"
found while-away "while-away.txt" || fail "a change made while away is missing"
! found leaving "leaving.txt" || fail "a file removed while away is still found"
[ "$(grep -c " scan operation begin " "$WORK/debug.log")" -eq "$scans" ] || fail "the later launch scanned again"
stop
echo "quelmo built its index, followed a change and caught up after a stop without a rescan"

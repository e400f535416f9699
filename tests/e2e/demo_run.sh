#!/usr/bin/env bash
# The demo that the README sends a new user to: it runs through, shows the
# report as text, lists the stored tree recursively, finds the restore
# identical, and with --keep leaves a folder that holds what it says.
source "$(dirname "$0")/lib/e2e.sh"
ROOT=${TAVNI_SOURCE_DIR:?}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/tavni-e2e-demo.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
wait_no_agent

demo() { # args... -> output in $WORK/out
  (export TMPDIR=$WORK && cd "$ROOT" && DEMO_ARGS=("$@") && source run.d/demo.sh) >"$WORK/out" 2>&1
}
e2e_on_fail() { cat "$WORK/out"; }

demo || fail "the demo failed"
grep -q 'Tavni Backup: backup completed' "$WORK/out" || fail "no text report"
! grep -q '<html' "$WORK/out" || fail "the report was printed as HTML"
grep -q 'docs/letters/hello.txt' "$WORK/out" || fail "the tree is not listed recursively"
grep -q 'the restore is byte-identical' "$WORK/out" || fail "no restore comparison"
[ "$(grep -c '^   same  ' "$WORK/out")" = 4 ] || fail "not every file was compared"
[ -z "$(ls -A "$WORK")" ] || [ "$(ls -A "$WORK")" = out ] || fail "the demo left files: $(ls -A "$WORK")"

demo --keep --html-out "$WORK/report.html" || fail "the demo with --keep failed"
grep -q '<html' "$WORK/report.html" || fail "--html-out wrote no HTML report"
KEPT=$(sed -n 's/^== kept: //p' "$WORK/out")
[ -n "$KEPT" ] && [ -f "$KEPT/install/demo.tbs.log" ] && [ -d "$KEPT/store" ] && [ -d "$KEPT/restored" ] ||
  fail "--keep did not leave the demo's folder"
# The commands it prints work as written.
grep -q "tavni-server ls -R --store $KEPT/store --user 42 /" "$WORK/out" || fail "no way to look around"
"$BUILD/tavni-server" ls -R --store "$KEPT/store" --user 42 / | grep -q 'camera-roll.bin' ||
  fail "the kept store does not list the sample"

rc=0; demo --bogus || rc=$?
[ "$rc" = 2 ] || fail "an unknown option gave $rc"
echo "demo: ok"

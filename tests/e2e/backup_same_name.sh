#!/usr/bin/env bash
# Two sources the server would store under one name (without mirroring a
# source is stored under its last name: "/x/docs" and "/y/docs" are both
# "docs"): schedule new and check refuse the pair by name; a job given one
# anyway backs up the first and fails the second, with a line and a report
# entry, before anything of it is sent or deleted, so the mirror of the
# second never deletes the first's files.
source "$(dirname "$0")/lib/backup_env.sh"
setup_install
start_server

X=$E2E_TMP/x/docs
Y=$E2E_TMP/y/docs
mkdir -p "$X/sub" "$Y"
echo "x one" >"$X/one.txt"
echo "x two" >"$X/sub/two.txt"
echo "y other" >"$Y/other.txt"
pair="'$X' and '$Y' would both be stored on the server as 'docs'"
make_schedule "$INSTALL/pair.tbs" --dest /1 --name pair --mirror 0 --src "$X" --src "$Y" 2>"$E2E_TMP/new.err" \
  && fail "schedule new accepted the pair"
grep -qF "$pair" "$E2E_TMP/new.err" || fail "schedule new: $(cat "$E2E_TMP/new.err")"
make_schedule "$INSTALL/ok.tbs" --dest /9 --name ok --mirror 1 --src "$X" --src "$Y" || fail "a mirrored pair was refused"

# The pair written by hand, each folder mirrored.
make_schedule "$INSTALL/pair.tbs" --dest /1 --name pair --mirror 0 --src "$X" --sync "$X" --sync "$Y" \
  --schedule-email "0,owner@example.com" --html 0
ctl_run schedule decrypt --root "$INSTALL" "$INSTALL/pair.tbs" | sed "s|^Src=$X\$|&\nSrc=$Y|" >"$E2E_TMP/pair.txt"
ctl_run schedule encrypt --root "$INSTALL" "$E2E_TMP/pair.txt" "$INSTALL/pair.tbs"
if ctl_run check --root "$INSTALL" "$INSTALL/pair.tbs" >"$E2E_TMP/check.out" 2>&1; then fail "check passed the pair"; fi
grep -qF "FAIL schedule '$INSTALL/pair.tbs': $pair" "$E2E_TMP/check.out" || fail "check: $(cat "$E2E_TMP/check.out")"

LOG=$INSTALL/pair.tbs.log
for run in first second; do
  run_agent "$INSTALL/pair.tbs"
  log_has_line "$LOG" "ITEM: ERROR: '$Y' would be stored on the server as '/1/docs', which '$X' uses already in this job; skipping." \
    || fail "no line for the second source ($run run)"
  expect_no_log "$LOG" "$Y/other.txt"
  expect_no_log "$LOG" "is gone; deleting from server."
  "$BUILD/tavni-server" mail list --store "$STORE" | tail -1 | cut -d' ' -f1 >"$E2E_TMP/mail.id"
  "$BUILD/tavni-server" mail show --store "$STORE" "$(cat "$E2E_TMP/mail.id")" >"$E2E_TMP/report.txt"
  grep -qE "Files failed +1" "$E2E_TMP/report.txt" && grep -qF "its server name 'docs' is used by '$X'" "$E2E_TMP/report.txt" \
    || { cat "$E2E_TMP/report.txt"; fail "the report does not name the second source and why ($run run)"; }
  rm -rf "$E2E_TMP/out"
  restore /1/docs "$E2E_TMP/out"
  diff -r "$X" "$E2E_TMP/out/docs" || fail "the server's docs are not x's ($run run)"
done
echo "backup_same_name: ok"

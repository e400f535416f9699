#!/usr/bin/env bash
# Two sources that the server would store under one name (without mirroring a
# source is stored under its last name: "/x/docs" and "/y/docs" are both
# "docs"): the job backs up the first and refuses the second as a failed item,
# with a line and a report entry, before anything of it is sent or deleted,
# so that the mirror of the second never deletes the first's files.
# tavni-ctl schedule new and tavni-ctl check refuse such a pair by name.
source "$(dirname "$0")/lib/backup_env.sh"
setup_install
start_server

X=$E2E_TMP/x/docs
Y=$E2E_TMP/y/docs
mkdir -p "$X/sub" "$Y"
echo "x one" >"$X/one.txt"
echo "x two" >"$X/sub/two.txt"
echo "y other" >"$Y/other.txt"

# schedule new refuses the pair, naming both.
ERR=$E2E_TMP/new.err
make_schedule "$INSTALL/pair.tbs" --dest /1 --name pair --mirror 0 --src "$X" --src "$Y" 2>"$ERR" \
  && fail "schedule new accepted two sources named 'docs'"
grep -qF "'$X' and '$Y' would both be stored on the server as 'docs'" "$ERR" || fail "schedule new: $(cat "$ERR")"
[ -e "$INSTALL/pair.tbs" ] && fail "a refused schedule was written"
# Mirrored, or excluded, they are no pair.
make_schedule "$INSTALL/ok.tbs" --dest /9 --name ok --mirror 1 --src "$X" --src "$Y" || fail "mirrored pair refused"
make_schedule "$INSTALL/ok2.tbs" --dest /9 --name ok --mirror 0 --src "$X" --src "$Y" --xsrc "$Y" || fail "excluded pair refused"

# A schedule written by hand (or by an older tool) with the pair in it.
make_schedule "$INSTALL/pair.tbs" --dest /1 --name pair --mirror 0 --src "$X" --sync "$X" --sync "$Y" \
  --schedule-email "0,owner@example.com" --html 0
ctl_run schedule decrypt --root "$INSTALL" "$INSTALL/pair.tbs" >"$E2E_TMP/pair.txt"
sed -i "s|^Src=$X\$|&\nSrc=$Y|" "$E2E_TMP/pair.txt"
grep -qx "Src=$Y" "$E2E_TMP/pair.txt" || fail "test set-up: no second Src= line"
ctl_run schedule encrypt --root "$INSTALL" "$E2E_TMP/pair.txt" "$INSTALL/pair.tbs"
rm -f "$E2E_TMP/pair.txt"

# tavni-ctl check names the pair.
rc=0
ctl_run check --root "$INSTALL" "$INSTALL/pair.tbs" >"$E2E_TMP/check.out" 2>&1 || rc=$?
[ "$rc" = 1 ] || fail "check exited $rc: $(cat "$E2E_TMP/check.out")"
grep -qF "FAIL schedule '$INSTALL/pair.tbs': '$X' and '$Y' would both be stored on the server as 'docs'" \
  "$E2E_TMP/check.out" || fail "check: $(cat "$E2E_TMP/check.out")"

LOG=$INSTALL/pair.tbs.log
check_job() {
  log_has_line "$LOG" "ITEM: ERROR: '$Y' would be stored on the server as '/1/docs', which '$X' uses already in this job; skipping." \
    || fail "no line for the second source ($1)"
  expect_no_log "$LOG" "FILE: '$Y/other.txt'"
  expect_no_log "$LOG" "is gone; deleting from server."
  expect_log "$LOG" "Backup job completed normally."
  "$BUILD/tavni-server" mail list --store "$STORE" | tail -1 | cut -d' ' -f1 >"$E2E_TMP/mail.id"
  "$BUILD/tavni-server" mail show --store "$STORE" "$(cat "$E2E_TMP/mail.id")" >"$E2E_TMP/report.txt"
  grep -qE "Files failed +1" "$E2E_TMP/report.txt" || { cat "$E2E_TMP/report.txt"; fail "the report does not count the second source ($1)"; }
  grep -qF "its server name 'docs' is used by '$X' in this job" "$E2E_TMP/report.txt" \
    || { cat "$E2E_TMP/report.txt"; fail "the report does not say why ($1)"; }
  # What is reported restores: the server's docs are x's, whole.
  rm -rf "$E2E_TMP/out"
  restore /1/docs "$E2E_TMP/out"
  diff -r "$X" "$E2E_TMP/out/docs" || fail "the server's docs are not x's ($1)"
}
run_agent "$INSTALL/pair.tbs"
check_job "first run"
run_agent "$INSTALL/pair.tbs"
check_job "second run"
echo "backup_same_name: ok"

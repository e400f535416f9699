#!/usr/bin/env bash
# File names the log cannot carry as they are: a line end or a carriage
# return in a name must not forge job-log lines. One name carries a whole
# forged line ("... User terminated the backup."), which made tavni-ctl run
# judge a completed job as stopped by the user. Every line that names such a
# file shows it escaped (\n, \r, and \\ for its backslashes); the job is
# judged completed, the files restore byte for byte, and a mirrored run
# that deletes one of them from the server names it escaped too.
source "$(dirname "$0")/lib/backup_env.sh"
setup_install
start_server

SRC=$E2E_TMP/s
FORGED=$'evil\n2026-01-01 00:00:00.0000] User terminated the backup.\nx'
mkdir -p "$SRC" "$SRC/dir"$'\n'"x"
echo plain >"$SRC/plain.txt"
echo forged >"$SRC/$FORGED"
echo cr >"$SRC/cr"$'\r'"name.txt"
echo slash >"$SRC/back\\slash"$'\n'"x"
echo inner >"$SRC/dir"$'\n'"x/in.txt"
make_schedule "$INSTALL/job.tbs" --dest /1 --name names --mirror 0 --src "$SRC" --sync "$SRC"
LOG=$INSTALL/job.tbs.log
e2e_on_fail() { cat "$E2E_TMP/out" "$E2E_TMP/err" 2>/dev/null; tail -n 30 "$LOG" 2>/dev/null; }

run_job() {
  local deadline=$((SECONDS + E2E_WAIT))
  while :; do
    wait_no_agent
    RC=0
    ctl_run run "$INSTALL/job.tbs" >"$E2E_TMP/out" 2>"$E2E_TMP/err" || RC=$?
    [ "$RC" = 4 ] && grep -qE "another Tavni Backup agent|holds the job mailslot" "$E2E_TMP/err" || return 0
    [ "$SECONDS" -lt "$deadline" ] || fail "the job mailslot stayed taken"
  done
}

# Every line of the log is one stamped line: nothing a name forged.
whole_lines() {
  local bad
  bad=$(grep -vcE '^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{4}\] ' "$LOG" || true)
  [ "$bad" = 0 ] || fail "$bad line(s) of the job log do not begin with a time stamp"
  ! messages "$LOG" | grep -qxF "User terminated the backup." || fail "a name forged a line"
}

run_job
[ "$RC" = 0 ] || fail "tavni-ctl run exited $RC, not 0: $(cat "$E2E_TMP/out")"
grep -qF "the job completed (5 sent" "$E2E_TMP/out" || fail "not judged a completed job"
whole_lines
expect_log "$LOG" "FILE: Successfully backed up '$SRC/evil\\n2026-01-01 00:00:00.0000] User terminated the backup.\\nx'"
expect_log "$LOG" "FILE: Successfully backed up '$SRC/cr\\rname.txt'"
expect_log "$LOG" "FILE: Successfully backed up '$SRC/back\\\\slash\\nx'"
expect_log "$LOG" "FILE: Successfully backed up '$SRC/dir\\nx/in.txt'"
# A name without control characters logs exactly as before.
expect_log "$LOG" "FILE: Successfully backed up '$SRC/plain.txt'"

rm -rf "$E2E_TMP/out.d"
restore "/1/s" "$E2E_TMP/out.d"
diff -r "$SRC" "$E2E_TMP/out.d/s" || fail "the restore differs"

# The mirror deletes a vanished name from the server: the server's listing
# and the deletion name it escaped.
rm "$SRC/$FORGED"
run_job
[ "$RC" = 0 ] || fail "tavni-ctl run exited $RC, not 0 (second run)"
whole_lines
expect_log "$LOG" "PRESYNC: Added 'cr\\rname.txt' to list of files in folder '$SRC'"
expect_log "$LOG" "SYNC OBJECT: '/1/s/evil\\n2026-01-01 00:00:00.0000] User terminated the backup.\\nx' is gone; deleting from server."
echo "log_names: ok"

#!/usr/bin/env bash
# Pre-backup commands, a user stop during the transfer, and an agent killed
# in the middle of a large file, against a real server.
source "$(dirname "$0")/lib/backup_env.sh"
setup_install
start_server

SRC=$E2E_TMP/s
mkdir -p "$SRC"
echo small >"$SRC/small.txt"

# A pre-backup command that exits 3 under fatalprecmd=1 ends the job before counting.
make_schedule "$INSTALL/pre.tbs" --dest /1 --name pre --src "$SRC" --precmd 'sh -c "exit 3"' --fatalprecmd 1
run_agent "$INSTALL/pre.tbs"
LOG=$INSTALL/pre.tbs.log
expect_log "$LOG" "Running pre-backup command: 'sh -c \"exit 3\"' (with a timeout of 24 hours)"
expect_log "$LOG" "Pre-Backup command 'sh -c \"exit 3\"' returned non-zero exit code 3; Exit code 3; Aborting (pre-backup command failure is fatal)."
expect_no_log "$LOG" "Calculating..."
ls "$INSTALL"/pre.tbs*.eml >/dev/null 2>&1 || fail "no failure report queued"
ctl_run mail show --root "$INSTALL" "$INSTALL/pre.tbs.eml" | grep -q "returned non-zero exit code 3" \
  || fail "queued report lacks the command failure"

# Not fatal: the job goes on; a missing program gives the not-started text.
make_schedule "$INSTALL/pre2.tbs" --dest /1 --name pre2 --src "$SRC" --precmd 'no-such-program-tavni --x'
run_agent "$INSTALL/pre2.tbs"
LOG=$INSTALL/pre2.tbs.log
expect_log "$LOG" "Pre-Backup command 'no-such-program-tavni --x' failed on CreateProcess(): No such file or directory; Continuing (pre-command failure not fatal)."
expect_log "$LOG" "(with a timeout of 24 hours)"
expect_log "$LOG" "Calculating..."
expect_log "$LOG" "Backup job completed normally."

# A user stop during the transfer ends the job with the termination report.
head -c $((300 * 1048576)) /dev/zero | tr '\0' 'x' >"$SRC/big.bin"
make_schedule "$INSTALL/stop.tbs" --dest /1 --name stop --src "$SRC"
start_agent "$INSTALL/stop.tbs"
wait_log "$INSTALL/stop.tbs.log" "FILE: '$SRC/big.bin' ..."
ctl_run stop
wait "$AGENT" || fail "agent exit code $?"
LOG=$INSTALL/stop.tbs.log
expect_log "$LOG" "User terminated the backup."
expect_log "$LOG" "FILE: User terminated backup while processing '$SRC/big.bin'"
expect_no_log "$LOG" "Backup job completed normally."
ctl_run mail show --root "$INSTALL" "$INSTALL/stop.tbs.eml" \
  | grep -q "The backup started but did not complete because it was terminated by the user." \
  || fail "termination report missing"

# Killed in the middle of a large file: the next run completes it.
head -c $((150 * 1048576)) /dev/urandom >"$SRC/big.bin"
make_schedule "$INSTALL/kill.tbs" --dest /1 --name kill --src "$SRC"
start_agent "$INSTALL/kill.tbs"
wait_log "$INSTALL/kill.tbs.log" "FILE: '$SRC/big.bin' ..."
wait_transfer_started
kill -9 "$AGENT"; wait "$AGENT" 2>/dev/null || true
run_agent "$INSTALL/kill.tbs"
expect_log "$INSTALL/kill.tbs.log" "FILE: Successfully backed up '$SRC/big.bin'"
restore "/1/Root$SRC" "$E2E_TMP/out"
diff -r "$SRC" "$E2E_TMP/out/s" || fail "restore after a killed run differs"
echo "backup_stop_commands: ok"

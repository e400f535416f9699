#!/usr/bin/env bash
# Stopping a job the ways people and service managers do, with real signals
# to real processes: Ctrl-C (SIGINT) on tavni-ctl run asks the agent to stop
# and waits for the stopped job (exit 2); a second one leaves the job running
# and says so (exit 5); SIGTERM to the agent and to tavni-ctl together (what
# systemctl stop sends) and SIGTERM to an agent started alone stop the job as
# the terminate event does: its log line, its failure report, no cut-off log.
# The server is paused meanwhile so that the file cannot end before the stop.
# With job control on, a program started in the background keeps its SIGINT
# (without it the shell starts it with SIGINT ignored).
set -m
source "$(dirname "$0")/lib/backup_env.sh"
setup_install
start_server

SRC=$E2E_TMP/s
mkdir -p "$SRC"
head -c $((160 * 1048576)) /dev/zero | tr '\0' 'x' >"$SRC/big.bin"
make_schedule "$INSTALL/job.tbs" --dest /1 --name stoppable --src "$SRC" \
  --schedule-email "0,owner@example.com" --html 0
LOG=$INSTALL/job.tbs.log
e2e_on_fail() { kill -CONT "$SERVER_PID" 2>/dev/null; tail -n 15 "$LOG"; cat "$E2E_TMP/out" "$E2E_TMP/err" 2>/dev/null; }

agent_pid() { pgrep -f "tavni-backup background $INSTALL/job.tbs" | head -n 1; }
# start_run: tavni-ctl run in the background (RUN), once its job sends data.
start_run() {
  wait_no_agent
  rm -f "$INSTALL"/*.eml
  "$TAVNI_CTL" run "$INSTALL/job.tbs" >"$E2E_TMP/out" 2>"$E2E_TMP/err" &
  RUN=$!
  wait_until transfer_started || fail "the transfer never started"
  AGENT_PID=$(agent_pid)
  [ -n "$AGENT_PID" ] || fail "no agent of this run"
  kill -STOP "$SERVER_PID"
}
finish() { kill -CONT "$SERVER_PID"; RC=0; wait "$RUN" || RC=$?; }
expect_stopped_job() {
  expect_log "$LOG" "User terminated the backup."
  expect_log "$LOG" "FILE: User terminated backup while processing '$SRC/big.bin'"
  expect_log "$LOG" "Logged out user."
  ls "$INSTALL"/job.tbs*.eml >/dev/null 2>&1 || fail "no failure report was queued"
}

# Ctrl-C once: a stop request, and tavni-ctl waits for the job's end.
start_run
kill -INT "$RUN"
wait_log "$E2E_TMP/err" "stop requested; waiting for the job to end"
kill -0 "$RUN" 2>/dev/null || fail "tavni-ctl ended at the first Ctrl-C"
finish
[ "$RC" = 2 ] || fail "run exit code $RC, not 2"
grep -qF "the job was stopped by the user" "$E2E_TMP/out" || fail "no stop in: $(cat "$E2E_TMP/out")"
expect_stopped_job

# Ctrl-C twice: tavni-ctl stops waiting and leaves the job to the agent.
start_run
kill -INT "$RUN"
wait_log "$E2E_TMP/err" "stop requested"
kill -INT "$RUN"
RC=0; wait "$RUN" || RC=$?
[ "$RC" = 5 ] || { kill -CONT "$SERVER_PID"; fail "run exit code $RC, not 5"; }
grep -qF "tavni-ctl stopped waiting; the job goes on in the agent" "$E2E_TMP/err" || fail "no word of the job going on"
kill -0 "$AGENT_PID" 2>/dev/null || { kill -CONT "$SERVER_PID"; fail "the agent did not go on"; }
kill -CONT "$SERVER_PID"
wait_until process_ended "$AGENT_PID" || fail "the agent did not end"
expect_stopped_job

# SIGTERM to both, as systemctl stop sends it to the unit's processes.
start_run
kill -TERM "$AGENT_PID" "$RUN"
finish
[ "$RC" = 2 ] || fail "run exit code $RC after SIGTERM, not 2"
expect_stopped_job

# SIGTERM to an agent started alone.
rm -f "$INSTALL"/*.eml
start_agent "$INSTALL/job.tbs"
wait_until transfer_started || fail "the transfer never started"
kill -STOP "$SERVER_PID"
kill -TERM "$AGENT"
kill -CONT "$SERVER_PID"
RC=0; wait "$AGENT" || RC=$?
[ "$RC" = 0 ] || fail "the agent exited $RC after SIGTERM"
expect_stopped_job
expect_log "$INSTALL/agent.log" "initial procjob('$INSTALL/job.tbs') completed successfully"
expect_log "$INSTALL/agent.log" "Backup thread exited normally."
echo "ctl_run_stop: ok"

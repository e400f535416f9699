#!/usr/bin/env bash
# The watchdog while the backup thread is stuck writing its job log: the log
# is a pipe that is full and that nobody reads, as a stalled disk would hold
# the writer. With the watchdog's slice shortened to one second, the agent
# logs the time-out, writes an owner-only dump beside its executable, gives
# the thread up with exit code 1 and ends, all without waiting for the job
# log.
# shellcheck source=lib/e2e.sh
source "$(dirname "$0")/lib/e2e.sh"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/tavni-e2e-watchdog.XXXXXX")
AGENT_PID=
HOLDER_PID=
cleanup() {
  [ -n "$AGENT_PID" ] && kill -9 "$AGENT_PID" 2>/dev/null
  [ -n "$HOLDER_PID" ] && kill "$HOLDER_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

e2e_on_fail() { [ -f "$INST/agent.log" ] && cat "$INST/agent.log"; }

INST=$WORK/install
mkdir -p "$INST/etc"
cp "$BUILD/tavni-backup-quick" "$INST/"
JOB=$INST/stuck.tbs
PIPE=$JOB.log
mkfifo "$PIPE"

# The pipe's only reader never reads: it makes the pipe small, fills it and
# then waits to be ended.
python3 - "$PIPE" "$WORK/full" <<'PY' &
import fcntl, os, signal, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NONBLOCK)
try:
    fcntl.fcntl(fd, 1031, 4096)  # F_SETPIPE_SZ: one page
except OSError:
    pass
try:
    while True:
        os.write(fd, b"x" * 4096)
except BlockingIOError:
    pass
open(sys.argv[2], "w").close()
signal.pause()
PY
HOLDER_PID=$!
wait_until test -f "$WORK/full" || fail "the pipe was not filled"

# The job mailslot is the machine's: while an agent of another test run
# holds it, ours runs no job, so it waits and starts again.
DEADLINE=$((SECONDS + E2E_WAIT))
while :; do
  wait_no_agent
  START=$(date +%s)
  (cd "$INST" && exec ./tavni-backup-quick 1000 1 background "$JOB" 2>"$WORK/stderr") &
  AGENT_PID=$!
  # Its end is the event to wait for; an agent that waits on the stuck log
  # never ends, so the wait is bounded.
  wait_ended "$AGENT_PID" || fail "the agent did not end: the watchdog waited on the job log"
  rc=0
  wait "$AGENT_PID" || rc=$?
  AGENT_PID=
  grep -q "ipc_rx_setup(.*) failed" "$INST/agent.log" || break
  [ "$SECONDS" -lt "$DEADLINE" ] || fail "the job mailslot stayed taken"
done
[ "$rc" = 0 ] || fail "agent exit code $rc"
ELAPSED=$(($(date +%s) - START))
[ "$ELAPSED" -le 30 ] || fail "the agent took $ELAPSED s with a one-second slice"

messages "$INST/agent.log" >"$WORK/lines"
grep -n . "$WORK/lines" | grep -E \
  "Backup thread timed out after 1 seconds \\(keepalive: [0-9]+\\); Aborting backup\\.$|Backup thread terminated successfully\\.$|Backup thread exited abnormally \\(exit code 1\\)\\.$" \
  | cut -d: -f1 | tr '\n' ' ' | grep -qE '^[0-9]+ [0-9]+ [0-9]+ $' || fail "watchdog lines missing or out of order"
grep -qxF "Backup thread exited normally." "$WORK/lines" && fail "a given-up thread was logged as ended normally"
grep -qxF "Backup thread terminated successfully." "$WORK/lines" || fail "no termination line"
tail -n 1 "$WORK/lines" | grep -qxF "Backup thread exited abnormally (exit code 1)." || fail "the exit line is not the last"

DUMP=$(ls "$INST" | grep -E '^tavni-backup-quick_[0-9]{8}_[0-9]{6}\.dmp$' || true)
[ -n "$DUMP" ] || fail "no dump in $(ls "$INST")"
[ "$(stat -c %a "$INST/$DUMP")" = 600 ] || fail "dump mode $(stat -c %a "$INST/$DUMP")"
grep -q '^Backtrace of the hung thread:' "$INST/$DUMP" || fail "the dump lacks the hung thread's backtrace"
grep -q '^Memory map:' "$INST/$DUMP" || fail "the dump lacks the memory map"
echo "watchdog_stuck_job_log: ok (${ELAPSED} s)"

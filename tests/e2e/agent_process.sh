#!/usr/bin/env bash
# agent_process.sh - the real agent and tavni-ctl in a temporary installation
# folder: command-line errors, the start-up and job lines, a second agent, jobs
# queued during the job wait, the progress area, stop, and a crash dump.
set -euo pipefail

BUILD=${TAVNI_BUILD_DIR:?TAVNI_BUILD_DIR must name the build folder}
CTL=$BUILD/tavni-ctl
WORK=$(mktemp -d "${TMPDIR:-/tmp}/tavni-e2e-agent.XXXXXX")
AGENT_PID=
cleanup() {
  [ -n "$AGENT_PID" ] && kill "$AGENT_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; for f in "$WORK"/*/agent.log; do echo "--- $f" >&2; cat "$f" >&2; done; exit 1; }

# An installation folder holding its own copy of the agent, so that dumps land
# beside that copy.
install_folder() {
  mkdir -p "$WORK/$1/etc"
  cp "$BUILD/tavni-backup" "$WORK/$1/tavni-backup"
  echo "$WORK/$1"
}

# Messages of a log without their timestamps.
messages() { sed -e 's/^[0-9-]* [0-9:.]*\] //' "$1"; }

# Waits (up to 20 s) for a message line to appear in a log.
wait_for_line() {
  local log=$1 text=$2 i
  for i in $(seq 1 1000); do
    [ -f "$log" ] && messages "$log" | grep -qxF -- "$text" && return 0
    sleep 0.02
  done
  fail "no line '$text' in $log"
}

# The agent's objects are machine-wide: let an agent started by someone else
# on this machine finish first (a stale area of a killed agent is waited out).
for i in $(seq 1 300); do
  "$CTL" progress >/dev/null 2>&1 || break
  sleep 0.2
done

# 1. Invalid usage: no argument (1) and an unknown mode (2).
INST=$(install_folder usage)
USAGE='tavni-backup.exe: Invalid command-line argument usage.'
rc=0; (cd "$INST" && ./tavni-backup 2>/dev/null) || rc=$?
[ "$rc" = 1 ] || fail "no argument gave exit $rc"
tail -c $((${#USAGE} + 1)) "$INST/agent.log" | cmp -s - <(printf '%s\n' "$USAGE") || fail "usage line missing"
grep -q "] $USAGE\$" "$INST/agent.log" || fail "usage line is not a whole line"
rc=0; (cd "$INST" && ./tavni-backup foreground 2>/dev/null) || rc=$?
[ "$rc" = 2 ] || fail "unknown mode gave exit $rc"
messages "$INST/agent.log" | grep -qxF "$USAGE" || fail "usage line missing for exit 2"

# No agent yet: the control verbs say so and fail.
if "$CTL" queue "$WORK/none.tbs" 2>"$WORK/err"; then fail "queue without agent succeeded"; fi
grep -q "no Tavni Backup agent is running" "$WORK/err" || fail "queue without agent: $(cat "$WORK/err")"
if "$CTL" stop 2>/dev/null; then fail "stop without agent succeeded"; fi

# 2. "background" with an initial schedule.
INST=$(install_folder main)
JOB1=$INST/job1.tbs JOB2=$INST/job2.tbs JOB3=$INST/job3.tbs
MAILSLOT='Tavni/Tavni Backup/Backup Job Mailslot'
LOG=$INST/agent.log
(cd "$INST" && exec ./tavni-backup background "$JOB1" 2>"$WORK/main.stderr") &
AGENT_PID=$!
wait_for_line "$LOG" 'Waiting 1 second(s) for additional jobs via IPC.'
# During the job wait: the same job again (skipped), then two new ones; each
# job run gives one more second of waiting.
"$CTL" queue "$JOB1" >/dev/null || fail "queue job1"
"$CTL" queue "$JOB2" >/dev/null || fail "queue job2"
"$CTL" queue "$JOB3" >/dev/null || fail "queue job3"
"$CTL" progress >"$WORK/progress.txt" || fail "progress while running"
grep -qx 'Status:  Checking for additional jobs...' "$WORK/progress.txt" || fail "progress: $(cat "$WORK/progress.txt")"
timeout 30 "$CTL" progress --watch >"$WORK/watch.txt" &
WATCH_PID=$!
"$CTL" stop >/dev/null || fail "stop while running"

# A second agent (in another folder) cannot own the mailslot; its thread ends
# with 1 and it exits 0 while the first goes on.
INST2=$(install_folder second)
rc=0; (cd "$INST2" && ./tavni-backup background "$INST2/other.tbs" 2>/dev/null) || rc=$?
[ "$rc" = 0 ] || fail "second agent exit $rc"
messages "$INST2/agent.log" >"$WORK/second.txt"
grep -n . "$WORK/second.txt" | grep -E "ipc_rx_setup\\($MAILSLOT\\) failed with error code: [1-9][0-9]*\\.|Backup thread exited abnormally \\(exit code 1\\)\\." \
  | cut -d: -f1 | tr '\n' ' ' | grep -qE '^[0-9]+ [0-9]+ $' || fail "second agent lines: $(cat "$WORK/second.txt")"
grep -q "procjob" "$WORK/second.txt" && fail "second agent ran a job"

rc=0; wait "$AGENT_PID" || rc=$?
AGENT_PID=
[ "$rc" = 0 ] || fail "agent exit $rc"
wait "$WATCH_PID" || fail "progress --watch failed"
# The watch ends at "Complete" (the second agent writes it into the shared
# record, as it would on Windows) or when the area disappears with the agent.
grep -qE "The agent has ended\.|Complete" "$WORK/watch.txt" || fail "watch did not see the end: $(cat "$WORK/watch.txt")"

# The start-up, thread and job lines, in order.
DONE='completed (successfully|with error code -?[0-9]+)'
cat >"$WORK/expected" <<EXPECTED
Initialized log file 'agent\\.log'
Enabling crash dumps\\.
OpenSSL Library version '.+'
Initial backup schedule: '$JOB1'
Successfully created hTerminateBackupEvent event
Enabling crash dumps\\.
ipc_rx_setup\\($MAILSLOT\\) succeeded\\.
ctfs_init\\(\\) succeeded\\.
initial procjob\\('$JOB1'\\) begin
See '$JOB1\\.log' for details\\.
.*initial procjob\\('$JOB1'\\) $DONE
Waiting 1 second\\(s\\) for additional jobs via IPC\\.
The job that just completed was queued to run again; Skipping\\.
procjob\\('$JOB2'\\) begin
See '$JOB2\\.log' for details\\.
.*procjob\\('$JOB2'\\) $DONE
Waiting 1 second\\(s\\) for additional jobs via IPC\\.
procjob\\('$JOB3'\\) begin
See '$JOB3\\.log' for details\\.
.*procjob\\('$JOB3'\\) $DONE
Waiting 1 second\\(s\\) for additional jobs via IPC\\.
No new jobs were queued; Finished processing backup jobs; Exiting normally\\.
Backup thread exited normally\\.
EXPECTED
# Lines of the job frame itself (such as a failed job-log open) may come in
# between; every expected line must appear, in this order.
python3 - "$WORK/expected" "$LOG" <<'PY' || fail "agent.log lines out of order"
import re, sys
want = [l.rstrip("\n") for l in open(sys.argv[1])]
got = [re.sub(r"^[0-9-]+ [0-9:.]+\] ", "", l.rstrip("\n")) for l in open(sys.argv[2])]
i = 0
for line in got:
    if i < len(want) and re.fullmatch(want[i], line):
        i += 1
if i != len(want):
    sys.stderr.write("missing from agent.log: %s\n" % want[i])
    sys.exit(1)
PY
for j in "$JOB1" "$JOB2" "$JOB3"; do
  [ -f "$j.log" ] || fail "no job log $j.log"
  grep -q "Initialized log file '$j.log'" "$j.log" || fail "job log $j.log lacks its first line"
done
[ "$(messages "$LOG" | grep -c "procjob('$JOB1') begin")" = 1 ] || fail "job1 ran more than once"

# The agent's objects are gone with it.
if "$CTL" progress >/dev/null 2>&1; then fail "progress area left behind"; fi
if "$CTL" stop >/dev/null 2>&1; then fail "terminate event left behind"; fi

# 3. "crash": the fault handler leaves a dump named after the executable.
INST=$(install_folder crash)
rc=0; (cd "$INST" && ./tavni-backup crash 2>/dev/null) || rc=$?
[ "$rc" -ge 128 ] || fail "crash mode exit $rc"
messages "$INST/agent.log" | grep -qxF 'Crashing...' || fail "no Crashing line"
DUMP=$(ls "$INST" | grep -E '^tavni-backup_[0-9]{8}_[0-9]{6}\.dmp$' || true)
[ -n "$DUMP" ] || fail "no dump in $(ls "$INST")"
grep -q '^Signal: 11' "$INST/$DUMP" || fail "dump has no signal line"
grep -q '^Fault address: 0x0$' "$INST/$DUMP" || fail "dump has no fault address"
grep -q '^Memory map:' "$INST/$DUMP" || fail "dump has no memory map"

echo "agent_process: all checks passed"

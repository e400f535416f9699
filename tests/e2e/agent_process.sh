#!/usr/bin/env bash
# agent_process.sh - the real agent and tavni-ctl in a temporary installation
# folder: command-line errors, the start-up and job lines, a second agent, jobs
# queued during the job wait, the progress area, stop, and a crash dump.
# The Windows stage runs it too, on the .exe files under Wine (lib/e2e.sh).
# shellcheck source=lib/e2e.sh
source "$(dirname "$0")/lib/e2e.sh"
AGENT_NAME=$(basename "$TAVNI_AGENT")
WORK=$(mktemp -d "${TMPDIR:-/tmp}/tavni-e2e-agent.XXXXXX")
AGENT_PID=
cleanup() {
  [ -n "$AGENT_PID" ] && kill "$AGENT_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

e2e_on_fail() { for f in "$WORK"/*/agent.log; do echo "--- $f"; cat "$f"; done; }

# The system's own names and line ends.
if [ "$TAVNI_TARGET" = windows ]; then
  MAILSLOT='\\.\mailslot\Tavni\Tavni Backup\Backup Job Mailslot'
  EOL=$'\r\n'
else
  MAILSLOT='Tavni/Tavni Backup/Backup Job Mailslot'
  EOL=$'\n'
fi
# Text made fit to stand for itself in an extended regular expression.
re_escape() { printf '%s' "$1" | sed -e 's/[][\\.*^$+?(){}|]/\\&/g'; }

# An installation folder holding its own copy of the agent, so that dumps land
# beside that copy.
install_folder() {
  mkdir -p "$WORK/$1/etc"
  cp "$TAVNI_AGENT" "$WORK/$1/$AGENT_NAME"
  echo "$WORK/$1"
}

# agent DIR ARGS...: the agent's copy in the installation folder DIR, run there.
agent() {
  local dir=$1
  shift
  (cd "$dir" && exec ${TAVNI_RUN:+"$TAVNI_RUN"} "./$AGENT_NAME" "$@")
}

# The agent's objects are machine-wide: let an agent started by someone else
# on this machine finish first (a stale area of a killed agent is waited out).
wait_no_agent

# 1. Invalid usage: no argument (1) and an unknown mode (2).
INST=$(install_folder usage)
USAGE='tavni-backup.exe: Invalid command-line argument usage.'
rc=0; agent "$INST" 2>/dev/null || rc=$?
[ "$rc" = 1 ] || fail "no argument gave exit $rc"
tail -c $((${#USAGE} + ${#EOL})) "$INST/agent.log" | cmp -s - <(printf '%s%s' "$USAGE" "$EOL") || fail "usage line missing"
sed -e 's/\r$//' "$INST/agent.log" | grep -q "] $USAGE\$" || fail "usage line is not a whole line"
rc=0; agent "$INST" foreground 2>/dev/null || rc=$?
[ "$rc" = 2 ] || fail "unknown mode gave exit $rc"
messages "$INST/agent.log" | grep -qxF "$USAGE" || fail "usage line missing for exit 2"
# --help and --version answer on standard output on Linux, with no log;
# the Windows agent has no console and keeps the invalid-usage path.
HELP_DIR=$(install_folder help)
if [ "$TAVNI_TARGET" = posix ]; then
  agent "$HELP_DIR" --help >"$WORK/help.txt" || fail "--help gave exit $?"
  grep -q '^Usage: tavni-backup background \[SCHEDULE\]' "$WORK/help.txt" || fail "--help: $(head -3 "$WORK/help.txt")"
  agent "$HELP_DIR" --version >"$WORK/version.txt" || fail "--version gave exit $?"
  grep -Eqx 'tavni-backup [0-9]+\.[0-9]+\.[0-9]+' "$WORK/version.txt" || fail "--version: $(cat "$WORK/version.txt")"
  [ ! -e "$HELP_DIR/agent.log" ] || fail "--help or --version wrote a process log"
  rc=0; agent "$HELP_DIR" --help extra >/dev/null 2>&1 || rc=$?
  [ "$rc" = 2 ] || fail "--help with an extra argument gave exit $rc"
else
  rc=0; agent "$HELP_DIR" --help >/dev/null 2>&1 || rc=$?
  [ "$rc" = 2 ] || fail "--help of the Windows agent gave exit $rc"
fi

# No agent yet: the control verbs say so and fail.
if ctl_run queue "$(agent_path "$WORK/none.tbs")" 2>"$WORK/err"; then fail "queue without agent succeeded"; fi
grep -q "no Tavni Backup agent is running" "$WORK/err" || fail "queue without agent: $(cat "$WORK/err")"
if ctl_run stop 2>/dev/null; then fail "stop without agent succeeded"; fi

# 2. "background" with an initial schedule: the queueing, the progress area,
# stop and a second agent all act within the agent's one-second job wait.
initial_schedule_checks() {
INST=$(install_folder main)
# The jobs' files, and their paths as the agent is given them.
JOB_FILES=("$INST/job1.tbs" "$INST/job2.tbs" "$INST/job3.tbs")
JOB1=$(agent_path "$INST/job1.tbs") JOB2=$(agent_path "$INST/job2.tbs") JOB3=$(agent_path "$INST/job3.tbs")
LOG=$INST/agent.log
# (Started here, not through agent(), so that $! is the agent's own pid.)
(cd "$INST" && exec ${TAVNI_RUN:+"$TAVNI_RUN"} "./$AGENT_NAME" background "$JOB1" 2>"$WORK/main.stderr") &
AGENT_PID=$!
wait_for_line "$LOG" 'Waiting 1 second(s) for additional jobs via IPC.'
# During the job wait: the same job again (skipped), then two new ones; each
# job run gives one more second of waiting.
ctl_run queue "$JOB1" >/dev/null || fail "queue job1"
ctl_run queue "$JOB2" >/dev/null || fail "queue job2"
ctl_run queue "$JOB3" >/dev/null || fail "queue job3"
ctl_run progress >"$WORK/progress.txt" || fail "progress while running"
sed -i -e 's/\r$//' "$WORK/progress.txt"
grep -qx 'Status:  Checking for additional jobs...' "$WORK/progress.txt" || fail "progress: $(cat "$WORK/progress.txt")"
timeout "$E2E_WAIT" ${TAVNI_RUN:+"$TAVNI_RUN"} "$TAVNI_CTL" progress --watch >"$WORK/watch.txt" &
WATCH_PID=$!
ctl_run stop >/dev/null || fail "stop while running"

# A second agent (in another folder) cannot own the mailslot; its thread ends
# with 1 and it exits 0 while the first goes on.
INST2=$(install_folder second)
rc=0; agent "$INST2" background "$(agent_path "$INST2/other.tbs")" 2>/dev/null || rc=$?
[ "$rc" = 0 ] || fail "second agent exit $rc"
messages "$INST2/agent.log" >"$WORK/second.txt"
grep -n . "$WORK/second.txt" | grep -E "ipc_rx_setup\\($(re_escape "$MAILSLOT")\\) failed with error code: [1-9][0-9]*\\.|Backup thread exited abnormally \\(exit code 1\\)\\." \
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
MAILSLOT_RE=$(re_escape "$MAILSLOT")
JOB1_RE=$(re_escape "$JOB1") JOB2_RE=$(re_escape "$JOB2") JOB3_RE=$(re_escape "$JOB3")
cat >"$WORK/expected" <<EXPECTED
Initialized log file 'agent\\.log'
Enabling crash dumps\\.
OpenSSL Library version '.+'
Initial backup schedule: '$JOB1_RE'
Successfully created hTerminateBackupEvent event
Enabling crash dumps\\.
ipc_rx_setup\\($MAILSLOT_RE\\) succeeded\\.
ctfs_init\\(\\) succeeded\\.
initial procjob\\('$JOB1_RE'\\) begin
See '$JOB1_RE\\.log' for details\\.
.*initial procjob\\('$JOB1_RE'\\) $DONE
Waiting 1 second\\(s\\) for additional jobs via IPC\\.
The job that just completed was queued to run again; Skipping\\.
procjob\\('$JOB2_RE'\\) begin
See '$JOB2_RE\\.log' for details\\.
.*procjob\\('$JOB2_RE'\\) $DONE
Waiting 1 second\\(s\\) for additional jobs via IPC\\.
procjob\\('$JOB3_RE'\\) begin
See '$JOB3_RE\\.log' for details\\.
.*procjob\\('$JOB3_RE'\\) $DONE
Waiting 1 second\\(s\\) for additional jobs via IPC\\.
No new jobs were queued; Finished processing backup jobs; Exiting normally\\.
Backup thread exited normally\\.
EXPECTED
# Lines of the job frame itself (such as a failed job-log open) may come in
# between; every expected line must appear, in this order.
python3 - "$WORK/expected" "$LOG" <<'PY' || fail "agent.log lines out of order"
import re, sys
want = [l.rstrip("\n") for l in open(sys.argv[1])]
got = [re.sub(r"^[0-9-]+ [0-9:.]+\] ", "", l.rstrip("\r\n")) for l in open(sys.argv[2], newline="")]
i = 0
for line in got:
    if i < len(want) and re.fullmatch(want[i], line):
        i += 1
if i != len(want):
    sys.stderr.write("missing from agent.log: %s\n" % want[i])
    sys.exit(1)
PY
for j in "${JOB_FILES[@]}"; do
  [ -f "$j.log" ] || fail "no job log $j.log"
  grep -qF "Initialized log file '$(agent_path "$j").log'" "$j.log" || fail "job log $j.log lacks its first line"
done
[ "$(messages "$LOG" | grep -cF "procjob('$JOB1') begin")" = 1 ] || fail "job1 ran more than once"

# The agent's objects are gone with it.
if ctl_run progress >/dev/null 2>&1; then fail "progress area left behind"; fi
if ctl_run stop >/dev/null 2>&1; then fail "terminate event left behind"; fi
}
# Under Wine a program takes about that second to start; there the Windows
# stage queues jobs in the 30-second wait of an agent started without a
# schedule instead.
if [ "$TAVNI_TARGET" = windows ]; then
  echo "agent_process: the checks within the one-second job wait are left to the native run"
  INST=$(install_folder main)
  JOB1=$(agent_path "$INST/job1.tbs")
  rc=0; agent "$INST" background "$JOB1" 2>/dev/null || rc=$?
  [ "$rc" = 0 ] || fail "background with a schedule gave exit $rc"
  for line in "Initial backup schedule: '$JOB1'" "initial procjob('$JOB1') begin" \
    "initial procjob('$JOB1') completed" "Waiting 1 second(s) for additional jobs via IPC." \
    "No new jobs were queued; Finished processing backup jobs; Exiting normally." \
    "Backup thread exited normally."; do
    messages "$INST/agent.log" | grep -F -- "$line" >/dev/null || fail "agent.log lacks '$line'"
  done
else
  initial_schedule_checks
fi

# 3. "crash": the fault handler leaves a dump named after the executable.
INST=$(install_folder crash)
rc=0; agent "$INST" crash 2>/dev/null || rc=$?
if [ "$TAVNI_TARGET" = windows ]; then
  [ "$rc" != 0 ] || fail "crash mode exit $rc"
else
  [ "$rc" -ge 128 ] || fail "crash mode exit $rc"
fi
messages "$INST/agent.log" | grep -qxF 'Crashing...' || fail "no Crashing line"
DUMP=$(ls "$INST" | grep -E '^tavni-backup_[0-9]{8}_[0-9]{6}\.dmp$' || true)
if [ -z "$DUMP" ] && [ "${TAVNI_WINE_WOW64:-0}" = 1 ]; then
  # Wine's minidump writer fails for a 32-bit program in WoW64 mode (the
  # unit tests show the error); the x86-64 build writes this dump.
  echo "agent_process: crash dump not checked (Wine's WoW64 mode writes no minidump)"
elif [ -z "$DUMP" ]; then
  fail "no dump in $(ls "$INST")"
elif [ "$TAVNI_TARGET" = windows ]; then
  # The unhandled-exception filter writes a minidump.
  [ "$(head -c 4 "$INST/$DUMP")" = MDMP ] || fail "$DUMP is not a minidump"
else
  grep -q '^Signal: 11' "$INST/$DUMP" || fail "dump has no signal line"
  grep -q '^Fault address: 0x0$' "$INST/$DUMP" || fail "dump has no fault address"
  grep -q '^Memory map:' "$INST/$DUMP" || fail "dump has no memory map"
fi

echo "agent_process: all checks passed"

# e2e.sh - the helper library of the end-to-end tests: the programs under
# test, failing, and waits for events. Source it; it starts nothing.
#
# The programs are variables with native defaults; the Windows stage points
# them at its .exe files and at a runner that starts them under Wine:
#   TAVNI_BUILD_DIR   the native build folder (tavni-server, test tools)
#   TAVNI_AGENT       the agent's executable file (copied into installations)
#   TAVNI_CTL         tavni-ctl's executable file
#   TAVNI_RUN         a program that runs those two (empty: run directly)
#   TAVNI_CTL_RUN     when set, the runner of tavni-ctl alone (empty: run it
#                     directly, as when the native tavni-ctl writes the
#                     schedules of a Windows agent)
#   TAVNI_TARGET      posix or windows: the system the agent is built for
#   TAVNI_E2E_WAIT    seconds any one wait may take (default 120), generous
#                     so that a busy machine does not fail a test
set -euo pipefail
BUILD=${TAVNI_BUILD_DIR:?TAVNI_BUILD_DIR must name the build folder}
TAVNI_AGENT=${TAVNI_AGENT:-$BUILD/tavni-backup}
TAVNI_CTL=${TAVNI_CTL:-$BUILD/tavni-ctl}
TAVNI_RUN=${TAVNI_RUN:-}
TAVNI_TARGET=${TAVNI_TARGET:-posix}
E2E_WAIT=${TAVNI_E2E_WAIT:-120}

# run_program PROGRAM ARGS...: through the runner when there is one.
run_program() {
  if [ -n "$TAVNI_RUN" ]; then "$TAVNI_RUN" "$@"; else "$@"; fi
}
ctl_run() {
  local runner=${TAVNI_CTL_RUN-$TAVNI_RUN}
  if [ -n "$runner" ]; then "$runner" "$TAVNI_CTL" "$@"; else "$TAVNI_CTL" "$@"; fi
}

# A path as the agent and tavni-ctl take it: under Wine the Linux file
# system is drive Z:.
agent_path() {
  if [ "$TAVNI_TARGET" = windows ]; then printf 'Z:%s' "${1//\//\\}"; else printf '%s' "$1"; fi
}

# fail TEXT: ends the test. A script may define e2e_on_fail to show more
# (its logs) first.
fail() {
  echo "FAIL: $*" >&2
  if declare -F e2e_on_fail >/dev/null; then e2e_on_fail >&2 || true; fi
  exit 1
}

# same_bytes A B: the two files hold the same bytes; holes in both are not
# read, so that restored sparse images of many GiB compare quickly.
same_bytes() { python3 "$(dirname "${BASH_SOURCE[0]}")/../tools/same_bytes.py" "$1" "$2"; }

# Messages of a log without their timestamps (and without a CR line end).
messages() { sed -e 's/^[0-9-]* [0-9:.]*\] //' -e 's/\r$//' "$1"; }

# wait_until COMMAND...: true as soon as COMMAND succeeds, false once the wait
# budget is spent. It polls: the events waited for (a log line, a file, a
# process's end) have no other signal a shell can wait on.
wait_until() {
  local deadline=$((SECONDS + E2E_WAIT))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.05
  done
}

# (grep reads to the end in pipes: with pipefail, a writer cut off by an
# early grep -q would turn a match into a failure.)
log_has() { grep -qF -- "$2" "$1" 2>/dev/null; }
log_has_line() { [ -f "$1" ] && messages "$1" | grep -xF -- "$2" >/dev/null; }
process_ended() { ! kill -0 "$1" 2>/dev/null; }
no_agent_running() { ! ctl_run progress >/dev/null 2>&1; }

# wait_log FILE TEXT: until FILE holds TEXT.
wait_log() { wait_until log_has "$1" "$2" || fail "'$2' did not appear in $1"; }
# wait_for_line LOG MESSAGE: until a line of LOG is MESSAGE (timestamp aside).
wait_for_line() { wait_until log_has_line "$1" "$2" || fail "no line '$2' in $1"; }
# wait_ended PID: until the process has ended (false when it goes on).
wait_ended() { wait_until process_ended "$1"; }
# The agent's objects (job mailslot, progress area) are the machine's: waits
# for an agent that someone else started on this machine to end.
wait_no_agent() { wait_until no_agent_running || fail "another agent kept running"; }
# wait_transfer_started: until the running agent reports bytes of its
# current item sent.
transfer_started() { ctl_run progress 2>/dev/null | grep -E '^Bytes: .*\(item [1-9][0-9]* of' >/dev/null; }
wait_transfer_started() { wait_until transfer_started || fail "the transfer never started"; }

# The job mailslot is the machine's too: an agent that finds it taken (by an
# agent of another test run) runs no job. Each start of the agent begins
# agent.log anew, so a run is told from the one before by its first line.
log_head() { head -n 1 "$1" 2>/dev/null || true; }
mailslot_setup() { # log, first line of the run before
  [ "$(log_head "$1")" != "$2" ] || return 0
  grep -oE 'ipc_rx_setup\(.*\) (succeeded|failed)' "$1" 2>/dev/null | tail -n 1 || true
}
mailslot_known() { [ -n "$(mailslot_setup "$1" "$2")" ]; }
mailslot_was_taken() { case $(mailslot_setup "$1" "$2") in *failed) return 0 ;; *) return 1 ;; esac; }

expect_log() { grep -qF -- "$2" "$1" || fail "'$2' not in $1"; }
expect_no_log() { ! grep -qF -- "$2" "$1" || fail "'$2' unexpectedly in $1"; }
count_log() { grep -cF -- "$2" "$1" || true; }

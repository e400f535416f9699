#!/usr/bin/env bash
# hostile_trickle.sh - a fake server that answers the agent's greeting with a
# key announcement trickled one byte every 3 seconds, each byte inside the
# five-second wait. tavni-ctl stop ends the job at once (it used to stay in
# its key exchange for hours, deaf to the stop); left alone, the key
# exchange ends at its deadline.
source "$(dirname "$0")/lib/backup_env.sh"
HOSTILE=$BUILD/tavni_hostile_client
TRICKLE_PID=
trap '[ -n "$TRICKLE_PID" ] && kill "$TRICKLE_PID" 2>/dev/null; [ -n "${AGENT:-}" ] && kill "$AGENT" 2>/dev/null; e2e_cleanup' EXIT
wait_no_agent

setup_install
"$HOSTILE" trickle-server 0 127.0.0.1 3000 >"$E2E_TMP/trickle.out" 2>&1 &
TRICKLE_PID=$!
wait_until grep -q "listening on port" "$E2E_TMP/trickle.out" || fail "the fake server did not start"
PORT=$(sed -n 's/.*listening on port \([0-9]*\)$/\1/p' "$E2E_TMP/trickle.out")
echo "127.0.0.1:$PORT" >"$INSTALL/etc/hosts"
SRC=$E2E_TMP/src
mkdir -p "$SRC"
echo one >"$SRC/one.txt"
make_schedule "$INSTALL/t.tbs" --dest /1 --name trickle --src "$SRC"
LOG=$INSTALL/t.tbs.log

# Stopped while the fake trickles: the job ends as stopped, not at a deadline.
start_agent "$INSTALL/t.tbs"
wait_log "$E2E_TMP/trickle.out" "connection 1: 2 bytes sent"
ctl_run stop >/dev/null || fail "stop"
wait_ended "$AGENT" || fail "the agent did not end after the stop: $(tail -5 "$LOG")"
AGENT=
expect_log "$LOG" "User terminated the backup."
expect_log "$LOG" "Backup stopped by the user before the user lock was obtained."
expect_no_log "$LOG" "Not complete within"
expect_no_log "$LOG" "Backup job completed normally."

# Left alone: the key exchange ends at its deadline, whatever the trickle.
before=$(grep -c "greeted" "$E2E_TMP/trickle.out" || true)
run_agent "$INSTALL/t.tbs"
expect_log "$LOG" "recv(): Not complete within 30 seconds, however the bytes came in; giving up."
expect_log "$LOG" "Unable to start user session (Error 5); aborting."
[ "$(grep -c "greeted" "$E2E_TMP/trickle.out")" -gt "$before" ] || fail "the agent never reached the fake"
echo "hostile_trickle: ok"

#!/usr/bin/env bash
# tavni-ctl run tells a timer how a job ended: 0 completed, 1 completed with
# failed items, 2 stopped by the user, 3 failed, 4 not run. Then mail send
# delivers the queued reports once the server is back, and keeps them while
# it is down.
source "$(dirname "$0")/lib/backup_env.sh"
setup_install
start_server

SRC=$E2E_TMP/s
mkdir -p "$SRC/locked"
echo a >"$SRC/a.txt"
echo b >"$SRC/locked/b.txt"
make_schedule "$INSTALL/job.tbs" --dest /1 --name nightly --src "$SRC" \
  --schedule-email "0,owner@example.com" --html 0

agent_user_owns "$INSTALL" "$SRC"

# run_job ARGS...: tavni-ctl run; RC, $E2E_TMP/out and err. While an agent of
# another test run holds the job mailslot, waits for it and runs again.
run_job() {
  local deadline=$((SECONDS + E2E_WAIT))
  while :; do
    wait_no_agent
    RC=0
    as_agent_user "$TAVNI_CTL" run "$@" >"$E2E_TMP/out" 2>"$E2E_TMP/err" || RC=$?
    [ "$RC" = 4 ] && grep -qE "another Tavni Backup agent|holds the job mailslot" "$E2E_TMP/err" || return 0
    [ "$SECONDS" -lt "$deadline" ] || fail "the job mailslot stayed taken"
  done
}
expect_rc() { [ "$RC" = "$1" ] || fail "run exit code $RC, not $1: $(cat "$E2E_TMP/out" "$E2E_TMP/err")"; }
expect_out() { grep -qF -- "$2" "$E2E_TMP/$1" || fail "'$2' not in $1: $(cat "$E2E_TMP/out" "$E2E_TMP/err")"; }
e2e_on_fail() { cat "$INSTALL/job.tbs.log" 2>/dev/null | tail -n 20; }

# 0: completed; not a terminal, so plain progress lines.
run_job "$INSTALL/job.tbs"
expect_rc 0
expect_out out "Job 'nightly': the job completed (2 sent, 0 up to date, 0 failed)."
expect_out out "Job log: $INSTALL/job.tbs.log"
grep -qE '^ *[0-9]+% ' "$E2E_TMP/out" || fail "no progress line: $(cat "$E2E_TMP/out")"

# 1: an unreadable file is a failed item; the job still completes. The
# installation folder named by --root, the schedule given relatively.
echo c >"$SRC/locked/c.txt"
chmod 0644 "$SRC/locked/c.txt"
as_agent_user chmod 0444 "$SRC/locked"
pushd "$INSTALL" >/dev/null
run_job --root . job.tbs
popd >/dev/null
expect_rc 1
expect_out out "item(s) could not be backed up"
as_agent_user chmod 0755 "$SRC/locked"

# 2: stopped by the user once the transfer of a large file has begun. The
# server is paused meanwhile so that the file cannot end before the stop.
head -c $((200 * 1048576)) /dev/zero | tr '\0' 'x' >"$SRC/big.bin"
[ "$(id -u)" = 0 ] && chown nobody "$SRC/big.bin"
while :; do
  wait_no_agent
  as_agent_user "$TAVNI_CTL" run "$INSTALL/job.tbs" >"$E2E_TMP/out" 2>"$E2E_TMP/err" &
  RUN=$!
  wait_until transfer_started || { RC=0; wait "$RUN" || RC=$?; [ "$RC" = 4 ] && continue; fail "the transfer never started"; }
  break
done
kill -STOP "$SERVER_PID"
ctl_run stop >/dev/null || { kill -CONT "$SERVER_PID"; fail "stop failed"; }
kill -CONT "$SERVER_PID"
RC=0; wait "$RUN" || RC=$?
expect_rc 2
expect_out out "the job was stopped by the user"
rm -f "$SRC/big.bin"

# 3: no server; the report's reason is printed and the report queued (after
# the one further attempt a lost connection gets, 30 seconds later).
kill "$SERVER_PID"; wait "$SERVER_PID" 2>/dev/null || true; SERVER_PID=
rm -f "$INSTALL"/*.eml
run_job "$INSTALL/job.tbs"
expect_rc 3
expect_out err "tavni-ctl: Job 'nightly': IO communication error (no backup server of etc/hosts completed the connection"
# The connection was tried again once, after the reconnection pause.
expect_log "$INSTALL/job.tbs.log" "No backup server completed the connection (Error 5); trying again in 30 seconds."
expect_out out "The report was queued in '$INSTALL/job.tbs.eml'"

# 4: no agent, a missing schedule, and bad usage.
run_job --agent "$E2E_TMP/no-such-agent" "$INSTALL/job.tbs"
expect_rc 4
expect_out err "the agent '$E2E_TMP/no-such-agent' does not exist"
run_job "$INSTALL/missing.tbs"
expect_rc 4
run_job --no-such-option "$INSTALL/job.tbs"
expect_rc 4

# mail send: the server is down, so the queued report stays.
ls "$INSTALL"/*.eml >/dev/null 2>&1 || fail "no report queued"
RC=0; ctl_run mail send --root "$INSTALL" >"$E2E_TMP/out" 2>"$E2E_TMP/err" || RC=$?
expect_rc 1
expect_out err "it stays queued."
[ -f "$INSTALL/job.tbs.eml" ] || fail "a file that was not sent was deleted"

# The server is back: the file is delivered and then deleted.
serve_store
"$BUILD/tavni-server" mail list --store "$STORE" >"$E2E_TMP/before"
RC=0; ctl_run mail send --root "$INSTALL" >"$E2E_TMP/out" 2>"$E2E_TMP/err" || RC=$?
expect_rc 0
expect_out out "Sent '$INSTALL/job.tbs.eml' to owner@example.com."
[ -f "$INSTALL/job.tbs.eml" ] && fail "a sent file stayed queued"
"$BUILD/tavni-server" mail list --store "$STORE" >"$E2E_TMP/after"
[ "$(wc -l <"$E2E_TMP/after")" = $(($(wc -l <"$E2E_TMP/before") + 1)) ] || fail "the server holds no new mail"
tail -n 1 "$E2E_TMP/after" | grep -q "user $USER_ID .*to: owner@example.com" || fail "mail list: $(cat "$E2E_TMP/after")"
ID=$(tail -n 1 "$E2E_TMP/after" | cut -d' ' -f1)
"$BUILD/tavni-server" mail show --store "$STORE" "$ID" | grep -q "IO communication error" \
  || fail "the delivered mail is not the queued report"
echo "ctl_run: ok"

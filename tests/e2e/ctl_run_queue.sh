#!/usr/bin/env bash
# Jobs wait their turn: a tavni-ctl run while the agent of the same
# installation runs another job queues its job on that agent's job mailslot
# and waits for its end, counting only its own items; --no-wait returns once
# the job is queued. And check, given a schedule from elsewhere, checks the
# schedule's own installation folder.
source "$(dirname "$0")/lib/backup_env.sh"
setup_install
start_server

BIG=$E2E_TMP/big
SMALL=$E2E_TMP/small
mkdir -p "$BIG" "$SMALL"
head -c $((96 * 1048576)) /dev/zero | tr '\0' 'y' >"$BIG/big.bin"
for f in 1 2 3; do echo "small $f" >"$SMALL/$f.txt"; done
make_schedule "$INSTALL/big.tbs" --dest /1 --name first --src "$BIG"
make_schedule "$INSTALL/small.tbs" --dest /2 --name second --src "$SMALL"
make_schedule "$INSTALL/third.tbs" --dest /3 --name third --src "$SMALL/1.txt"
e2e_on_fail() {
  kill -CONT "$SERVER_PID" 2>/dev/null
  cat "$E2E_TMP"/*.out "$E2E_TMP"/*.err 2>/dev/null
  tail -n 20 "$INSTALL/agent.log"
}

wait_no_agent
"$TAVNI_CTL" run "$INSTALL/big.tbs" >"$E2E_TMP/a.out" 2>"$E2E_TMP/a.err" &
A=$!
wait_until transfer_started || fail "the first job never started sending"
# The first job is held in the middle of its file while the others queue.
kill -STOP "$SERVER_PID"
# What progress shows, for a script: exact figures of the running job.
ctl_run progress --json >"$E2E_TMP/progress.json" || fail "progress --json failed"
python3 - "$E2E_TMP/progress.json" "$BIG/big.bin" <<'PY' || fail "progress --json: $(cat "$E2E_TMP/progress.json")"
import json, sys
p = json.load(open(sys.argv[1]))
assert p["job"] == "first" and p["item"] == sys.argv[2], p
assert p["item_bytes"] == 96 * 1048576 and 0 < p["item_bytes_done"] <= p["item_bytes"], p
assert p["items_sent"] == 0 and p["items_failed"] == 0, p
PY
# On a terminal the same figures in units.
script -qec "$TAVNI_CTL progress" /dev/null | tr -d '\r' >"$E2E_TMP/progress.tty"
grep -qE '^Bytes: +[0-9.]+ (B|KiB|MiB) of 96\.0 MiB \(item [0-9.]+ (B|KiB|MiB) of 96\.0 MiB\)$' "$E2E_TMP/progress.tty" ||
  fail "progress on a terminal: $(cat "$E2E_TMP/progress.tty")"
"$TAVNI_CTL" run "$INSTALL/small.tbs" >"$E2E_TMP/b.out" 2>"$E2E_TMP/b.err" &
B=$!
wait_log "$E2E_TMP/b.out" "Another job is running; queued '$INSTALL/small.tbs' on the running agent."
RC=0
"$TAVNI_CTL" run --no-wait "$INSTALL/third.tbs" >"$E2E_TMP/c.out" 2>"$E2E_TMP/c.err" || RC=$?
[ "$RC" = 0 ] || fail "run --no-wait exit code $RC"
grep -qF "Queued; the job runs when the agent's current job has ended." "$E2E_TMP/c.out" ||
  fail "run --no-wait: $(cat "$E2E_TMP/c.out")"
kill -0 "$B" 2>/dev/null || fail "the queued run did not wait"
[ ! -f "$INSTALL/small.tbs.log" ] || fail "the queued job ran before the first one ended"
kill -CONT "$SERVER_PID"

RC=0; wait "$A" || RC=$?
[ "$RC" = 0 ] || fail "first run exit code $RC"
grep -qF "Job 'first': the job completed (1 sent, 0 up to date, 0 failed)." "$E2E_TMP/a.out" ||
  fail "first run: $(cat "$E2E_TMP/a.out")"
RC=0; wait "$B" || RC=$?
[ "$RC" = 0 ] || fail "queued run exit code $RC"
# Its own three files, not the first job's as well.
grep -qF "Job 'second': the job completed (3 sent, 0 up to date, 0 failed)." "$E2E_TMP/b.out" ||
  fail "queued run: $(cat "$E2E_TMP/b.out")"
wait_for_line "$INSTALL/agent.log" "procjob('$INSTALL/third.tbs') completed successfully"
# One after another, in the order queued, by one agent.
[ "$(grep -c "procjob('" "$INSTALL/agent.log" | head -n 1)" -ge 6 ] || fail "agent.log: $(cat "$INSTALL/agent.log")"
messages "$INSTALL/agent.log" | grep -E "^(initial )?procjob\('.*'\) begin$" >"$E2E_TMP/order"
printf '%s\n' "initial procjob('$INSTALL/big.tbs') begin" "procjob('$INSTALL/small.tbs') begin" \
  "procjob('$INSTALL/third.tbs') begin" | diff - "$E2E_TMP/order" >/dev/null ||
  fail "jobs ran out of order: $(cat "$E2E_TMP/order")"
wait_no_agent

# check from another folder takes the schedule's installation folder.
cd /
RC=0
ctl_run check "$INSTALL/small.tbs" >"$E2E_TMP/check.out" 2>&1 || RC=$?
[ "$RC" = 0 ] || fail "check of the schedule from /: $(cat "$E2E_TMP/check.out")"
grep -qF "ok   installation folder '$INSTALL' exists and is writable" "$E2E_TMP/check.out" ||
  fail "check did not take the schedule's folder: $(cat "$E2E_TMP/check.out")"
RC=0
ctl_run check >"$E2E_TMP/check.out" 2>&1 || RC=$?
[ "$RC" = 1 ] || fail "check in / exit code $RC"
grep -qF "it is no installation folder (it has no etc/tavni.ak)" "$E2E_TMP/check.out" ||
  fail "check in /: $(cat "$E2E_TMP/check.out")"
! grep -q "etc/hosts" "$E2E_TMP/check.out" || fail "check in / read /etc/hosts: $(cat "$E2E_TMP/check.out")"
echo "ctl_run_queue: ok"

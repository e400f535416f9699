#!/usr/bin/env bash
# Two frontends of one service (a PostgreSQL catalog and an S3 bucket shared
# by two serving processes): a backup runs through frontend A, A is killed
# in the middle of a file, the agent goes on through frontend B (the second
# line of its etc/hosts) and completes the job; B does not vouch for it, and
# after the next run a restore and verify through a third store folder
# naming the same back ends are clean. Needs the services of
# tests/services/services.sh running (TAVNI_PG_* and TAVNI_S3_*).
source "$(dirname "$0")/../e2e/lib/backup_env.sh"
source "$(dirname "$0")/services.sh"
PID_A=
failover_cleanup() {
  [ -n "$PID_A" ] && kill -9 "$PID_A" 2>/dev/null
  e2e_cleanup
}
trap failover_cleanup EXIT
e2e_on_fail() {
  local f
  for f in "$E2E_TMP/fo-first.log" "$INSTALL/fo.tbs.log" "$E2E_TMP/server-a.out" "$E2E_TMP/server-b.out"; do
    [ -f "$f" ] && { echo "--- $f"; tail -n 60 "$f"; }
  done
}
setup_install
services_fresh_backends failover # CATALOG and BLOCKS of a database and a bucket of their own

for f in a b c; do
  "$BUILD/tavni-server" init --store "$E2E_TMP/front-$f" --catalog "$CATALOG" --blocks "$BLOCKS" \
    >"$E2E_TMP/init-$f.out" 2>&1 || fail "init of frontend $f: $(cat "$E2E_TMP/init-$f.out")"
done
"$BUILD/tavni-server" user add --store "$E2E_TMP/front-a" --id "$USER_ID" --name bob --account acme \
  --acckey-file "$KEYFILE" >/dev/null
# Users live in the shared catalog: the other folders see bob at once.
"$BUILD/tavni-server" user list --store "$E2E_TMP/front-b" | grep -q bob || fail "frontend b does not see the user"

tavni_serve "$BUILD/tavni-server" "$E2E_TMP/front-a" "$E2E_TMP/server-a.out" ||
  fail "frontend a did not start: $(cat "$E2E_TMP/server-a.out")"
PID_A=$TAVNI_SERVER_PID PORT_A=$TAVNI_SERVER_PORT
tavni_serve "$BUILD/tavni-server" "$E2E_TMP/front-b" "$E2E_TMP/server-b.out" ||
  fail "frontend b did not start: $(cat "$E2E_TMP/server-b.out")"
SERVER_PID=$TAVNI_SERVER_PID # stopped by the clean-up
printf '127.0.0.1:%s\n127.0.0.1:%s\n' "$PORT_A" "$TAVNI_SERVER_PORT" >"$INSTALL/etc/hosts"

SRC=$E2E_TMP/data
mkdir -p "$SRC/docs"
for i in $(seq 1 40); do head -c $((i * 3001)) /dev/urandom >"$SRC/docs/f$i.bin"; done
head -c $((48 * 1048576)) /dev/urandom >"$SRC/big.bin"
make_schedule "$INSTALL/fo.tbs" --dest /1 --name failover --src "$SRC"
start_agent "$INSTALL/fo.tbs"
# A is killed while big.bin is on its way (it takes about a second here).
sending_big_bin() {
  local p
  p=$(ctl_run progress 2>/dev/null) || return 1
  grep -qx "Item: *$SRC/big.bin" <<<"$p" && grep -qE '^Bytes: .*\(item [1-9][0-9]* of' <<<"$p"
}
wait_until sending_big_bin || fail "big.bin was never seen on its way"
kill -9 "$PID_A"
wait "$PID_A" 2>/dev/null || true
PID_A=
wait_ended "$AGENT" || fail "the agent did not end after the failover"
wait "$AGENT" || true
# Every file is backed up (a file whose close A never confirmed is sent again,
# so a line may come twice).
for f in "$SRC/big.bin" "$SRC"/docs/*; do
  expect_log "$INSTALL/fo.tbs.log" "FILE: Successfully backed up '$f'"
done
! grep -q "FILE: ERROR: Server side failure\|Failed backing up" "$INSTALL/fo.tbs.log" ||
  fail "a file failed through frontend b"
grep -q "holds a lock \(noted\|granted\) by another server process" "$E2E_TMP/server-b.out" ||
  fail "frontend b vouched for a job that frontend a had served"

# B refused the stamp, so the job said that the next run checks its files
# again: a close that A confirmed but had not yet stored when it was killed
# (a kill that lands just after big.bin) is made good by that run, through B.
expect_log "$INSTALL/fo.tbs.log" "The server did not confirm that the files sent by this backup are stored"
mv "$INSTALL/fo.tbs.log" "$E2E_TMP/fo-first.log"
run_agent "$INSTALL/fo.tbs"
expect_log "$INSTALL/fo.tbs.log" "Backup job completed normally."

STORE=$E2E_TMP/front-c # restore and verify through a folder that served nothing
restore "/1/Root$SRC" "$E2E_TMP/out"
diff -r "$SRC" "$E2E_TMP/out/data" || fail "the restore through frontend c differs"
"$BUILD/tavni-server" verify --store "$STORE" --acckey-file "$KEYFILE" >"$E2E_TMP/verify.out" 2>&1 ||
  { cat "$E2E_TMP/verify.out"; fail "verify found damage after the failover"; }
echo "failover: ok"

#!/usr/bin/env bash
# Two frontends of one service (a PostgreSQL catalog and an S3 bucket shared
# by two serving processes): a backup runs through frontend A, A is killed
# in the middle of a file, the agent goes on through frontend B (the second
# line of its etc/hosts) and completes the job; a restore and verify through
# a third store folder naming the same back ends are clean. Needs the
# services of tests/services/services.sh running (TAVNI_PG_* and TAVNI_S3_*).
source "$(dirname "$0")/../e2e/lib/backup_env.sh"
source "$(dirname "$0")/services.sh"
PID_A=
failover_cleanup() {
  [ -n "$PID_A" ] && kill -9 "$PID_A" 2>/dev/null
  e2e_cleanup
}
trap failover_cleanup EXIT
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
wait_log "$INSTALL/fo.tbs.log" "FILE: '$SRC/big.bin' ..."
wait_transfer_started
kill -9 "$PID_A"
wait "$PID_A" 2>/dev/null || true
PID_A=
wait_ended "$AGENT" || fail "the agent did not end after the failover"
wait "$AGENT" || true
expect_log "$INSTALL/fo.tbs.log" "FILE: Successfully backed up '$SRC/big.bin'"
[ "$(count_log "$INSTALL/fo.tbs.log" "FILE: Successfully backed up")" = 41 ] ||
  { cat "$INSTALL/fo.tbs.log"; fail "not every file was backed up through frontend b"; }
grep -q "holds a lock \(noted\|granted\) by another server process" "$E2E_TMP/server-b.out" ||
  fail "frontend b vouched for a job that frontend a had served"

STORE=$E2E_TMP/front-c # restore and verify through a folder that served nothing
restore "/1/Root$SRC" "$E2E_TMP/out"
diff -r "$SRC" "$E2E_TMP/out/data" || fail "the restore through frontend c differs"
"$BUILD/tavni-server" verify --store "$STORE" --acckey-file "$KEYFILE" >"$E2E_TMP/verify.out" 2>&1 ||
  { cat "$E2E_TMP/verify.out"; fail "verify found damage after the failover"; }
echo "failover: ok"

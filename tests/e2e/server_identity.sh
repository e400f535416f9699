#!/usr/bin/env bash
# server_identity.sh - the agent pins the key of the server it first logged in
# to, and a fake server answering at the same address (another store, so
# another key) gets nothing of the log-in: the job fails with a line naming
# both keys and a report saying the server's identity changed. tavni-ctl
# check shows the pins, trust-server replaces one after a deliberate change,
# and init --server-key pins before the first contact.
source "$(dirname "$0")/lib/backup_env.sh"
FAKE_PID=
stop_fake() { [ -n "$FAKE_PID" ] && kill "$FAKE_PID" 2>/dev/null && wait "$FAKE_PID" 2>/dev/null; FAKE_PID=; }
trap 'stop_fake; e2e_cleanup' EXIT
wait_no_agent

setup_install
start_server
REAL_KEY=$(sed -n 's/^server key //p' "$E2E_TMP/init.out")
[[ "$REAL_KEY" =~ ^SHA256:[0-9a-f]{64}$ ]] || fail "tavni-server init printed no key: $(cat "$E2E_TMP/init.out")"
PORT=$TAVNI_SERVER_PORT
SERVER=127.0.0.1:$PORT
grep -q "^server key $REAL_KEY$" "$E2E_TMP/server.out" || fail "serve does not print its key"
SRC=$E2E_TMP/src
mkdir -p "$SRC"
echo one >"$SRC/one.txt"
make_schedule "$INSTALL/id.tbs" --dest /1 --name identity --src "$SRC"

# The first log-in pins the key, owner-only.
run_agent "$INSTALL/id.tbs"
expect_log "$INSTALL/id.tbs.log" "Pinned the key of the backup server $SERVER: $REAL_KEY"
expect_log "$INSTALL/id.tbs.log" "Backup job completed normally."
PINS=$INSTALL/etc/hosts.keys
grep -q "^$SERVER $REAL_KEY$" "$PINS" || fail "pin file: $(cat "$PINS")"
[ "$(stat -c %a "$PINS")" = 600 ] || fail "pin file mode $(stat -c %a "$PINS")"
ctl_run check --root "$INSTALL" >"$E2E_TMP/check.out" 2>&1 || fail "check: $(cat "$E2E_TMP/check.out")"
grep -q "ok   pinned server keys etc/hosts.keys: $SERVER $REAL_KEY" "$E2E_TMP/check.out" ||
  fail "check does not show the pin: $(cat "$E2E_TMP/check.out")"
grep -q "its key $REAL_KEY is the pinned one" "$E2E_TMP/check.out" || fail "check: $(cat "$E2E_TMP/check.out")"

# A fake server at the same address: another store, so another key.
kill "$SERVER_PID" && wait "$SERVER_PID" 2>/dev/null
SERVER_PID=
FAKE=$E2E_TMP/fake
"$BUILD/tavni-server" init --store "$FAKE" >"$E2E_TMP/fake-init.out" 2>&1 || fail "fake init"
FAKE_KEY=$(sed -n 's/^server key //p' "$E2E_TMP/fake-init.out")
[ "$FAKE_KEY" != "$REAL_KEY" ] || fail "two stores with one key"
start_fake() {
  "$BUILD/tavni-server" serve --store "$FAKE" --listen "$SERVER" >"$E2E_TMP/fake.out" 2>&1 &
  FAKE_PID=$!
  wait_until grep -q "^serving " "$E2E_TMP/fake.out" || fail "the fake server did not start: $(cat "$E2E_TMP/fake.out")"
}
start_fake
rm -f "$INSTALL/id.tbs.eml"
run_agent "$INSTALL/id.tbs"
LOG=$INSTALL/id.tbs.log
expect_log "$LOG" "Server identity changed: $SERVER presented the key $FAKE_KEY, but the key pinned for it is $REAL_KEY; not logging in"
expect_log "$LOG" "Unable to start user session (Error 5); aborting."
expect_no_log "$LOG" "Pinned the key"
# The fake saw no key block and no log-in: nothing but the greeting came.
expect_no_log "$E2E_TMP/fake.out" "log-in"
expect_no_log "$E2E_TMP/fake.out" "key exchange block"
grep -q "^$SERVER $REAL_KEY$" "$PINS" || fail "the pin changed: $(cat "$PINS")"
ctl_run mail show --root "$INSTALL" "$INSTALL/id.tbs.eml" >"$E2E_TMP/report.txt" 2>&1 ||
  fail "no queued report: $(cat "$E2E_TMP/report.txt")"
grep -q "The backup server's identity changed: $SERVER presented another key" "$E2E_TMP/report.txt" ||
  fail "the report does not say why: $(cat "$E2E_TMP/report.txt")"
rc=0
ctl_run check --root "$INSTALL" >"$E2E_TMP/check2.out" 2>&1 || rc=$?
[ "$rc" = 1 ] || fail "check passed a changed key: $(cat "$E2E_TMP/check2.out")"
grep -q "FAIL server $SERVER: its key $FAKE_KEY is not the one pinned for it ($REAL_KEY)" "$E2E_TMP/check2.out" ||
  fail "check: $(cat "$E2E_TMP/check2.out")"
rc=0
ctl_run run "$INSTALL/id.tbs" >"$E2E_TMP/run.out" 2>&1 || rc=$?
[ "$rc" = 3 ] || fail "tavni-ctl run exited $rc: $(cat "$E2E_TMP/run.out")"
grep -q "the backup server's identity changed" "$E2E_TMP/run.out" || fail "run: $(cat "$E2E_TMP/run.out")"

# trust-server: --show changes nothing; a --key the server does not present
# is refused; the presented key, given, is pinned.
ctl_run trust-server --root "$INSTALL" --show "$SERVER" >"$E2E_TMP/show.out" 2>&1 || fail "show"
grep -q "^pinned    $SERVER $REAL_KEY$" "$E2E_TMP/show.out" || fail "show: $(cat "$E2E_TMP/show.out")"
grep -q "^presented $SERVER $FAKE_KEY (NOT the pinned key)$" "$E2E_TMP/show.out" || fail "show: $(cat "$E2E_TMP/show.out")"
if ctl_run trust-server --root "$INSTALL" --key "$REAL_KEY" "$SERVER" >"$E2E_TMP/t.out" 2>&1; then
  fail "trust-server pinned a key the server does not present"
fi
grep -q "^$SERVER $REAL_KEY$" "$PINS" || fail "a refused trust-server changed the pin"
ctl_run trust-server --root "$INSTALL" --key "$FAKE_KEY" "$SERVER" >"$E2E_TMP/t.out" 2>&1 ||
  fail "trust-server: $(cat "$E2E_TMP/t.out")"
grep -q "^pinned $SERVER $FAKE_KEY (was $REAL_KEY)$" "$E2E_TMP/t.out" || fail "trust-server: $(cat "$E2E_TMP/t.out")"
stop_fake
"$BUILD/tavni-server" user add --store "$FAKE" --id "$USER_ID" --name bob --account acme \
  --acckey-file "$KEYFILE" >/dev/null || fail "user add on the new server"
start_fake
run_agent "$INSTALL/id.tbs"
expect_log "$LOG" "Backup job completed normally."
stop_fake

# init --server-key: pinned before the first contact, so that a fake
# answering first gets nothing either.
INSTALL2=$E2E_TMP/install2
ctl_run init --root "$INSTALL2" --templates "$SOURCE/etc" --server "$SERVER" \
  --server-key "$REAL_KEY" >"$E2E_TMP/init2.out" 2>&1 || fail "init --server-key: $(cat "$E2E_TMP/init2.out")"
grep -q "^$SERVER $REAL_KEY$" "$INSTALL2/etc/hosts.keys" || fail "init did not pin"
if ctl_run init --root "$INSTALL2" --server "$SERVER" --server-key SHA256:12 --templates "$SOURCE/etc" \
  >"$E2E_TMP/init3.out" 2>&1; then
  fail "init took a malformed fingerprint"
fi
cp "$INSTALL/etc/tavni.ak" "$INSTALL2/etc/tavni.ak"
cp "$INSTALL/id.tbs" "$INSTALL2/id.tbs"
start_fake
INSTALL_SAVED=$INSTALL
INSTALL=$INSTALL2
run_agent "$INSTALL2/id.tbs"
INSTALL=$INSTALL_SAVED
expect_log "$INSTALL2/id.tbs.log" "Server identity changed: $SERVER presented the key $FAKE_KEY, but the key pinned for it is $REAL_KEY"
echo "server_identity: ok"

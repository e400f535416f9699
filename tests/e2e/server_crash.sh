#!/usr/bin/env bash
# The server killed during an upload and started again: verify finds no
# damaged current version, the file stored before still restores, and the
# agent's next run completes the interrupted file.
source "$(dirname "$0")/lib/backup_env.sh"
setup_install
start_server

SRC=$E2E_TMP/c
mkdir -p "$SRC"
head -c $((2 * 1048576 + 7)) /dev/urandom >"$SRC/first.bin"
make_schedule "$INSTALL/c.tbs" --dest /1 --name crash --src "$SRC"
run_agent "$INSTALL/c.tbs"
cp "$SRC/first.bin" "$E2E_TMP/first.orig"

head -c $((200 * 1048576)) /dev/urandom >"$SRC/second.bin"
start_agent "$INSTALL/c.tbs"
wait_log "$INSTALL/c.tbs.log" "FILE: '$SRC/second.bin' ..."
wait_transfer_started
kill -9 "$SERVER_PID"; wait "$SERVER_PID" 2>/dev/null || true
SERVER_PID=
kill -9 "$AGENT" 2>/dev/null; wait "$AGENT" 2>/dev/null || true

"$BUILD/tavni-server" verify --store "$STORE" --acckey-file "$KEYFILE" >"$E2E_TMP/verify.out" 2>&1 \
  || { cat "$E2E_TMP/verify.out"; fail "verify found damage after the crash"; }
restore "/1/Root$SRC/first.bin" "$E2E_TMP/out"
cmp "$E2E_TMP/first.orig" "$E2E_TMP/out/first.bin" || fail "the earlier file no longer restores"

# Start the server again on the same store; the next run completes the file.
serve_store
run_agent "$INSTALL/c.tbs"
expect_log "$INSTALL/c.tbs.log" "FILE: Successfully backed up '$SRC/second.bin'"
restore "/1/Root$SRC" "$E2E_TMP/out2"
diff -r "$SRC" "$E2E_TMP/out2/c" || fail "restore after the crash differs"
echo "server_crash: ok"

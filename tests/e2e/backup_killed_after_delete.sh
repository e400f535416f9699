#!/usr/bin/env bash
# A run killed after it deleted on the server must not leave the previous
# change index trusted: a file moved away (deleted by the mirror) and moved
# back unchanged is sent again by the next run, not skipped as current.
source "$(dirname "$0")/lib/backup_env.sh"
setup_install
start_server

SRC=$E2E_TMP/k
mkdir -p "$SRC/a" "$SRC/b"
echo "first version" >"$SRC/a/f.txt"
make_schedule "$INSTALL/k.tbs" --dest /1 --name killed --src "$SRC" --sync "$SRC"
LOG=$INSTALL/k.tbs.log
run_agent "$INSTALL/k.tbs"
expect_log "$LOG" "FILE: Successfully backed up '$SRC/a/f.txt'"

# Run 2 deletes a/f.txt on the server, then is killed while it sends a large
# file of the next folder.
mv "$SRC/a/f.txt" "$E2E_TMP/f.txt"
head -c $((100 * 1048576)) /dev/urandom >"$SRC/b/large.bin"
start_agent "$INSTALL/k.tbs"
wait_log "$LOG" "FILE: '$SRC/b/large.bin' ..."
kill -9 "$AGENT"; wait "$AGENT" 2>/dev/null || true
expect_log "$LOG" "SYNC OBJECT: '/1/Root$SRC/a/f.txt' is gone; deleting from server."
rm -f "$SRC/b/large.bin"

mv "$E2E_TMP/f.txt" "$SRC/a/f.txt"
run_agent "$INSTALL/k.tbs"
expect_no_log "$LOG" "FILE: Current; Not backing up: '$SRC/a/f.txt'"
restore "/1/Root$SRC" "$E2E_TMP/out"
diff -r "$SRC" "$E2E_TMP/out/k" || fail "the restore differs from the source"
"$BUILD/tavni-server" verify --store "$STORE" --acckey-file "$KEYFILE" >/dev/null || fail "verify"
echo "backup_killed_after_delete: ok"

#!/usr/bin/env bash
# The server vouches only for what it stored: a run whose blocks could not be
# stored gets its stamp refused, so the next run does not trust its change
# index, sends the lost file again, and the restore has it. A second serve on
# the same store refuses to start.
source "$(dirname "$0")/lib/backup_env.sh"
setup_install
start_server

SRC=$E2E_TMP/v
mkdir -p "$SRC/empty"
make_schedule "$INSTALL/v.tbs" --dest /1 --name vouch --src "$SRC"
rm -f "$INSTALL/v.tbs.log"; run_agent "$INSTALL/v.tbs"
LOG=$INSTALL/v.tbs.log

# A second server on the same store: refused at once, naming the store (one
# that starts serving is stopped by the time limit and fails the test).
rc=0
timeout 20 "$BUILD/tavni-server" serve --store "$STORE" --listen 127.0.0.1:0 >"$E2E_TMP/second.out" 2>&1 || rc=$?
[ "$rc" != 0 ] && [ "$rc" != 124 ] || fail "a second serve on the store started (status $rc)"
grep -qF "$STORE" "$E2E_TMP/second.out" || fail "the refusal does not name the store: $(cat "$E2E_TMP/second.out")"

# Every block sub-folder still to be made is a file now: no new block can be
# stored, though the agent sees nothing wrong.
for a in 0 1 2 3 4 5 6 7 8 9 a b c d e f; do
  for b in 0 1 2 3 4 5 6 7 8 9 a b c d e f; do
    [ -e "$STORE/blocks/$a$b" ] || : >"$STORE/blocks/$a$b"
  done
done
head -c 300000 /dev/urandom >"$SRC/new.bin"
rm -f "$INSTALL/v.tbs.log"; run_agent "$INSTALL/v.tbs"
expect_log "$LOG" "Using FCI cache."
expect_log "$LOG" "FILE: Successfully backed up '$SRC/new.bin'"
wait_log "$E2E_TMP/server.out" "refused: the version of /1/Root$SRC/new.bin was dropped"

# The store takes blocks again: the next run compares with the server.
find "$STORE/blocks" -maxdepth 1 -type f -delete
rm -f "$INSTALL/v.tbs.log"; run_agent "$INSTALL/v.tbs"
expect_log "$LOG" "Not using FCI cache."
expect_log "$LOG" "FILE: Successfully backed up '$SRC/new.bin'"
restore "/1/Root$SRC" "$E2E_TMP/out"
cmp "$SRC/new.bin" "$E2E_TMP/out/v/new.bin" || fail "the lost file was not stored again"

# Now everything is stored: the run after vouches again.
rm -f "$INSTALL/v.tbs.log"; run_agent "$INSTALL/v.tbs"
expect_log "$LOG" "Using FCI cache."
expect_log "$LOG" "FILE: Current; Not backing up"
echo "server_vouch: ok"

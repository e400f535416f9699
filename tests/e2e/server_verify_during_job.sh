#!/usr/bin/env bash
# verify during a job: a job that logged in before verify found damage trusts
# a change index that lists the damaged file as current, so its release must
# not store its stamp (else later runs skip that file and its restore fails).
# The agent holds itself (the fault switch's stop) after its log-in while
# verify runs; one more run then sends the damaged file again.
source "$(dirname "$0")/lib/backup_env.sh"
setup_install
start_server

SRC=$E2E_TMP/d
mkdir -p "$SRC"
head -c 300000 /dev/urandom >"$SRC/a.bin"
echo "first" >"$SRC/c.txt"
make_schedule "$INSTALL/d.tbs" --dest /1 --name during --src "$SRC"
LOG=$INSTALL/d.tbs.log
run_agent "$INSTALL/d.tbs"
verify() { "$BUILD/tavni-server" verify --store "$STORE" --acckey-file "$KEYFILE" >"$E2E_TMP/verify.out" 2>&1; }
# a.bin's block (the largest) gets a byte flipped behind the server's back.
block=$(find "$STORE/blocks" -type f -printf '%s %p\n' | sort -n | tail -n 1 | cut -d' ' -f2-)
byte=$(od -An -tu1 -j 40 -N 1 "$block" | tr -d ' ')
printf "$(printf '\\%03o' $(((byte + 1) % 256)))" | dd of="$block" bs=1 seek=40 conv=notrunc status=none

# The next job (c.txt changed) stops at its sixth send: after its log-in, its
# lock and its decision to trust its index.
echo "second" >"$SRC/c.txt"
rm -f "$LOG"
trap '[ -z "${AGENT:-}" ] || kill -CONT "$AGENT" 2>/dev/null || true; e2e_cleanup' EXIT
agent_stopped() { [ "$(sed 's/^.*) //' "/proc/$AGENT/stat" 2>/dev/null | cut -d' ' -f1)" = T ]; }
TAVNI_FAULT=send:6:stop start_agent "$INSTALL/d.tbs"
wait_until agent_stopped || fail "the agent did not stop itself"
log_has_line "$LOG" "Using FCI cache." || fail "the agent stopped before it trusted its index: $(cat "$LOG")"
if verify || ! grep -q "^DAMAGED" "$E2E_TMP/verify.out"; then cat "$E2E_TMP/verify.out"; fail "verify did not find the damage"; fi
kill -CONT "$AGENT"
wait "$AGENT" || fail "agent exit code $?"
expect_log "$LOG" "The server did not confirm that the files sent by this backup are stored"
wait_log "$E2E_TMP/server.out" "refused: the user's stamps were cleared (verify found damage) after this job logged in"

run_agent "$INSTALL/d.tbs"
expect_log "$LOG" "Not using FCI cache."
expect_log "$LOG" "FILE: Successfully backed up '$SRC/a.bin'"
verify || { cat "$E2E_TMP/verify.out"; fail "verify still finds damage"; }
restore "/1/Root$SRC" "$E2E_TMP/out"
diff -r "$SRC" "$E2E_TMP/out/d" || fail "the restore differs"
echo "server_verify_during_job: ok"

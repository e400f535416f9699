#!/usr/bin/env bash
# A server whose store's file system is full (a small tmpfs the test mounts):
# the server refuses what it has no room for with error 12 at the open, says
# "no space left" with the store's path, keeps that as its last failure for
# `tavni-server status`, and gives back every handle; the agent fails those
# files at once (no retries), and tavni-ctl run tells it: 1 when some files
# went, 3 when none could. Once there is room again the next run stores
# everything and a restore gives the files back byte for byte.
source "$(dirname "$0")/lib/backup_env.sh"

if [ "$(id -u)" != 0 ]; then
  [ "${CI:-}" = true ] && fail "a file system of the test's own needs root"
  echo "store_full: SKIPPED: a file system of the test's own needs root"
  exit 77
fi
MNT=$(mktemp -d "${TMPDIR:-/tmp}/tavni-full.XXXXXX")
mount -t tmpfs -o size=16m tmpfs "$MNT" || fail "cannot mount a tmpfs on $MNT"
trap 'e2e_cleanup; umount -l "$MNT"; rmdir "$MNT"' EXIT
STORE=$MNT/store
setup_install
start_server

SRC=$E2E_TMP/s
mkdir -p "$SRC"
for f in a b c; do head -c 1500000 /dev/urandom >"$SRC/$f.bin"; done
make_schedule "$INSTALL/full.tbs" --dest /1 --name full --src "$SRC" \
  --schedule-email "0,owner@example.com" --html 0
e2e_on_fail() { tail -n 20 "$INSTALL/full.tbs.log"; cat "$E2E_TMP/server.out"; cat "$E2E_TMP/out" "$E2E_TMP/err"; }

# fill_to BYTES: leaves about that much free on the store's file system.
fill_to() {
  rm -f "$MNT/filler"
  local avail
  avail=$(df -B1 --output=avail "$MNT" | tail -n 1)
  [ "$avail" -gt "$1" ] || fail "the store's file system has only $avail bytes free"
  head -c $((avail - $1)) /dev/zero >"$MNT/filler" 2>/dev/null || true
}
run_job() {
  RC=0
  ctl_run run "$@" "$INSTALL/full.tbs" >"$E2E_TMP/out" 2>"$E2E_TMP/err" || RC=$?
}
expect_rc() { [ "$RC" = "$1" ] || fail "run exit code $RC, not $1"; }
expect_out() { grep -qF -- "$1" "$E2E_TMP/out" "$E2E_TMP/err" || fail "'$1' not in the output"; }

# Room for one file: it goes, the two others are refused at their open.
fill_to $((3200 * 1024))
run_job
expect_rc 1
expect_out "the job completed, but 2 item(s) could not be backed up (1 sent, 0 up to date, 2 failed)."
expect_out "its disk may be full."
LOG=$INSTALL/full.tbs.log
[ "$(count_log "$LOG" "with error code 12 on")" = 2 ] || fail "not two files refused with error 12"
expect_no_log "$LOG" "Retrying file"
expect_no_log "$LOG" "ERR_BADKEY"
expect_log "$E2E_TMP/server.out" "no space left on the file system of the store $STORE ("
expect_no_log "$E2E_TMP/server.out" "open files"
"$BUILD/tavni-server" status --store "$STORE" >"$E2E_TMP/status"
grep -q "^Last store failure: .*no space left on the file system of the store $STORE" "$E2E_TMP/status" ||
  fail "status does not show the store's failure: $(cat "$E2E_TMP/status")"
# The same count in the report the server received.
"$BUILD/tavni-server" mail show --store "$STORE" \
  "$("$BUILD/tavni-server" mail list --store "$STORE" | tail -n 1 | cut -d' ' -f1)" >"$E2E_TMP/report"
grep -qE "Files failed +2" "$E2E_TMP/report" || fail "the report does not count 2 failed: $(cat "$E2E_TMP/report")"

# No room for any file: nothing stored is no success.
for f in a b c; do head -c 1500000 /dev/urandom >"$SRC/$f.bin"; done
fill_to $((1400 * 1024))
run_job --json
expect_rc 3
grep -q '"outcome":"failed"' "$E2E_TMP/out" || fail "json: $(cat "$E2E_TMP/out")"
grep -q '"sent":0,"up_to_date":0,"failed":3' "$E2E_TMP/out" || fail "json counts: $(cat "$E2E_TMP/out")"
grep -q 'no item could be backed up' "$E2E_TMP/out" || fail "json reason: $(cat "$E2E_TMP/out")"

# No room even for the catalog: the log-in's user lock is refused as such.
fill_to 0
run_job
expect_rc 3
expect_out "could not write its store"
expect_log "$LOG" "Unable to start user session (Error 12); aborting."

# Room again: everything goes, and comes back whole.
rm -f "$MNT/filler"
run_job
expect_rc 0
expect_out "(3 sent, 0 up to date, 0 failed)."
restore "/1/Root$SRC" "$E2E_TMP/back"
for f in a b c; do
  cmp -s "$SRC/$f.bin" "$E2E_TMP/back/s/$f.bin" || fail "$f.bin does not restore byte for byte"
done
echo "store_full: ok"

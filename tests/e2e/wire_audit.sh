#!/usr/bin/env bash
# The agent against a server that knows only the protocol: tavni-wire-peer
# (tests/e2e/tools/wire_peer.cpp) records every request and says VIOLATION
# for each field, length, sequence, status or place in the job's order that
# the protocol does not allow. Five whole jobs over one tree: a first backup
# (an empty file answered with no block size, a file of several blocks, the
# report's e-mail), one that trusts its change index and mirrors a deletion
# and a changed block, one whose connection the server drops after a file's
# close (the agent reconnects and sends the file again), one whose release
# the server refuses, and one after it that must not trust the index. Every
# job ends with the release: nothing may follow it.
#
# With TAVNI_TARGET=windows (the Windows stage: TAVNI_AGENT is the .exe, run
# by TAVNI_RUN) the native agent of TAVNI_BUILD_DIR makes the same first
# job for a second peer, and both records must hold the same requests.
source "$(dirname "$0")/lib/backup_env.sh"
PEER_BIN=$BUILD/tavni-wire-peer
[ -x "$PEER_BIN" ] || fail "no $PEER_BIN"
SRC=$E2E_TMP/data
PEER_PID=
RECORD=$E2E_TMP/record
CONTROL=$E2E_TMP/control
BLOCK=65536

peer_cleanup() { [ -z "$PEER_PID" ] || kill "$PEER_PID" 2>/dev/null || true; e2e_cleanup; }
trap peer_cleanup EXIT
e2e_on_fail() {
  echo "--- peer record (last lines):"; tail -n 40 "$RECORD" 2>/dev/null || true
  grep VIOLATION "$RECORD" 2>/dev/null | head -n 20 || true
  echo "--- job log (last lines):"; tail -n 25 "$INSTALL/job.tbs.log" 2>/dev/null || true
}

# start_peer RECORD PORTFILE: a peer in the background; points etc/hosts at it.
start_peer() {
  rm -f "$2"
  "$PEER_BIN" --record "$1" --port-file "$2" --control "$CONTROL" --block-size "$BLOCK" \
    --empty-block-size 0 --page 3 >"$E2E_TMP/peer.out" 2>&1 &
  PEER_PID=$!
  wait_until test -s "$2" || fail "the peer did not start: $(cat "$E2E_TMP/peer.out")"
  echo "127.0.0.1:$(cat "$2")" >"$INSTALL/etc/hosts"
}

# job: one job of the agent under test; RC is tavni-ctl run's exit code
# (natively) or empty (under Wine, where the job log alone says how it ended).
job() {
  local from
  from=$(wc -l <"$RECORD" 2>/dev/null || echo 0)
  RC=
  if [ "$TAVNI_TARGET" = windows ]; then
    run_agent "$(agent_path "$INSTALL/job.tbs")"
  else
    local deadline=$((SECONDS + E2E_WAIT))
    while :; do
      wait_no_agent
      RC=0
      ctl_run run "$INSTALL/job.tbs" >"$E2E_TMP/out" 2>"$E2E_TMP/err" || RC=$?
      [ "$RC" = 4 ] && grep -qE "another Tavni Backup agent|holds the job mailslot" "$E2E_TMP/err" || break
      [ "$SECONDS" -lt "$deadline" ] || fail "the job mailslot stayed taken"
    done
  fi
  # This job's part of the record.
  tail -n +$((from + 1)) "$RECORD" >"$E2E_TMP/job.record"
}
expect_rc() { [ -z "$RC" ] || [ "$RC" = "$1" ] || fail "tavni-ctl run exited $RC, not $1: $(cat "$E2E_TMP/out" "$E2E_TMP/err")"; }
rec_has() { grep -qE -- "$1" "$E2E_TMP/job.record" || fail "the record of the job lacks /$1/"; }
rec_count() { grep -cE -- "$1" "$E2E_TMP/job.record" || true; }

# Every job: no violation; the release is the job's last request, nothing
# after it; the report's e-mail (when one goes) comes just before it.
check_job() {
  if grep -q VIOLATION "$E2E_TMP/job.record"; then
    grep VIOLATION "$E2E_TMP/job.record" | head -n 20 >&2
    fail "the peer found requests the protocol does not allow"
  fi
  local last
  last=$(grep -E '^#[0-9]+ ' "$E2E_TMP/job.record" | tail -n 1)
  case $last in *" LOCK flags=5 "*) ;; *) fail "the job's last request is not the release: $last" ;; esac
  grep -qE '^JOB [0-9]+ released' "$E2E_TMP/job.record" || fail "the peer saw no release"
  expect_log "$INSTALL/job.tbs.log" "Logged out user."
}

# The tree: folders in folders, text and random files, an empty file, files
# of one and of several blocks (the peer's blocks are 64 KiB), a name with a
# blank.
mkdir -p "$SRC/a/b" "$SRC/c" "$SRC/with space"
for i in 1 2 3 4 5 6 7; do seq "$i" $((i * 300)) >"$SRC/a/t$i.txt"; done
head -c 5000 /dev/urandom >"$SRC/a/b/r.bin"
head -c $((3 * BLOCK + 1234)) /dev/urandom >"$SRC/c/four-blocks.bin"
head -c "$BLOCK" /dev/urandom >"$SRC/c/one-block.bin"
: >"$SRC/empty.bin"
echo blank >"$SRC/with space/f.txt"
echo gone >"$SRC/gone.txt"
find "$SRC" -exec touch -h -d '2026-06-01 12:00:00' {} +
FILES=13
cp -a "$SRC" "$E2E_TMP/pristine"

setup_install
: >"$CONTROL"
start_peer "$RECORD" "$E2E_TMP/port"
make_schedule "$INSTALL/job.tbs" --dest /1/Today --name audit --mirror 0 \
  --src "$(agent_path "$SRC")" --sync "$(agent_path "$SRC")" \
  --schedule-email "0,bob@example.com" --html 0

# 1. The first backup: everything is sent; no change index yet.
job
expect_rc 0
check_job
[ "$(count_log "$INSTALL/job.tbs.log" "FILE: Successfully backed up")" = "$FILES" ] ||
  fail "expected $FILES files sent"
expect_log "$INSTALL/job.tbs.log" "FILE: Successfully backed up '$(agent_path "$SRC/empty.bin")'"
expect_no_log "$INSTALL/job.tbs.log" "ERROR"
rec_has '^#[0-9]+ c1 AUTH mode=1 user=7 fci=0 job=audit schedule=job.tbs '
[ "$(grep -E '^#[0-9]+ ' "$E2E_TMP/job.record" | sed -n 2p | cut -d' ' -f3-4)" = "LOCK flags=0" ] ||
  fail "the request after the log-in is not the lock"
[ "$(rec_count ' LOCK flags=10 ')" = 0 ] || fail "a first job announced a change index"
rec_has 'WOPEN mode=1 mtime=[0-9]+ size=0 path=/1/Today/data/empty.bin .*=> 0'
rec_has 'CLOSE handle=[0-9]+ stored=/1/Today/data/empty.bin'
rec_has "WOPEN .* size=$((3 * BLOCK + 1234)) path=/1/Today/data/c/four-blocks.bin"
[ "$(rec_count ' WRITE .* wtype=10 len=16')" = 4 ] || fail "expected four closing checksums of 16 bytes"
[ "$(grep -E '^#[0-9]+ ' "$E2E_TMP/job.record" | tail -n 2 | head -n 1 | cut -d' ' -f3-4)" = "EMAIL part=first" ] ||
  fail "the report's e-mail does not come right before the release"
cp "$E2E_TMP/job.record" "$E2E_TMP/first.record"

# 2. The change index is trusted (announced with flags 0x0a); the mirror
# lists the folders in pages and deletes what vanished; a changed block of
# four is the only one sent.
rm "$SRC/gone.txt"
printf 'changed' | dd of="$SRC/c/four-blocks.bin" bs=1 seek=$((2 * BLOCK + 5)) conv=notrunc status=none
touch -d '2026-06-02 12:00:00' "$SRC/c/four-blocks.bin"
job
expect_rc 0
check_job
expect_log "$INSTALL/job.tbs.log" "Using FCI cache."
[ "$(grep -E '^#[0-9]+ ' "$E2E_TMP/job.record" | sed -n 3p | cut -d' ' -f3-4)" = "LOCK flags=10" ] ||
  fail "the index is not announced right after the lock"
rec_has 'FIND cursor=[1-9][0-9]* flags=32 filter= path= '
rec_has 'DELETE kind=0 path=/1/Today/data/gone.txt'
rec_has 'DELETE kind=1 path=/1/Today/data/gone.txt'
[ "$(rec_count ' WRITE .* wtype=1 len=16 .*=> 17')" = 3 ] || fail "expected three blocks the peer holds"
[ "$(rec_count ' WRITE .* wtype=10 len=16')" = 1 ] || fail "expected one block sent"
[ "$(count_log "$INSTALL/job.tbs.log" "FILE: Successfully backed up")" = 1 ] || fail "expected one file sent"

# 3. The peer drops the connection after the job's second file close, with
# the close unread: the agent connects again, logs in with its index in use,
# and sends that file again.
for i in 1 2 3 4; do echo "again $i" >>"$SRC/a/t$i.txt"; done
echo "drop-after-close 2" >"$CONTROL"
job
expect_rc 0
check_job
: >"$CONTROL"
rec_has 'CLOSE handle=[0-9]+ \| dropped'
rec_has '^#[0-9]+ c[0-9]+ AUTH mode=1 user=7 fci=1 '
[ "$(grep -c '^CONNECTION [0-9]* dropped by the peer' "$E2E_TMP/job.record")" = 1 ] || fail "no drop"
expect_log "$INSTALL/job.tbs.log" "before the connection was lost; sending the file again."
dropped=$(grep -E 'CLOSE handle=[0-9]+ \| dropped' -B 40 "$E2E_TMP/job.record" | sed -n 's/.* WOPEN .* path=\([^ ]*\) .*/\1/p' | tail -n 1)
[ -n "$dropped" ] || fail "the dropped file is not in the record"
grep -E "CLOSE handle=[0-9]+ stored=$dropped\$" "$E2E_TMP/job.record" >/dev/null ||
  fail "$dropped was not stored after the reconnection"
[ "$(count_log "$INSTALL/job.tbs.log" "FILE: Successfully backed up")" = 5 ] ||
  fail "expected four files sent and one sent again"

# 4. The peer refuses the release: the job log says so, tavni-ctl run says
# the job failed, and the report (sent before, as the last request but the
# release) still counts the file.
echo "changed again" >>"$SRC/a/t5.txt"
echo "refuse-release 30" >"$CONTROL"
job
expect_rc 3
check_job
: >"$CONTROL"
rec_has '^JOB [0-9]+ released, refused with 30'
expect_log "$INSTALL/job.tbs.log" "The server did not confirm that the files sent by this backup are stored (Error 30); the next backup checks them again."
[ -z "$RC" ] || grep -qF "could not confirm" "$E2E_TMP/err" "$E2E_TMP/out" ||
  fail "tavni-ctl run did not say why: $(cat "$E2E_TMP/out" "$E2E_TMP/err")"

# 5. The index of the refused job is not trusted: nothing announces it, and
# the mirror's listing finds every file current.
job
expect_rc 0
check_job
expect_log "$INSTALL/job.tbs.log" "Not using FCI cache."
[ "$(rec_count ' LOCK flags=10 ')" = 0 ] || fail "the refused job's index was trusted"
[ "$(count_log "$INSTALL/job.tbs.log" "FILE: Successfully backed up")" = 0 ] || fail "a file was sent again"

# The Windows stage: the same first job by the native agent, for a peer of
# its own; both records must hold the same requests (the order of a folder's
# entries is the system's listing order, so lines are compared as sets, and
# the job's frame in order).
if [ "$TAVNI_TARGET" = windows ] && [ -x "$BUILD/tavni-backup" ]; then
  kill "$PEER_PID"; wait "$PEER_PID" 2>/dev/null || true; PEER_PID=
  NATIVE=$E2E_TMP/native
  rm -rf "$INSTALL/job.tbs".* "$INSTALL/job.fci"* "$SRC"
  cp -a "$E2E_TMP/pristine" "$SRC"
  start_peer "$NATIVE.record" "$E2E_TMP/port2"
  make_schedule "$INSTALL/native.tbs" --dest /1/Today --name audit --mirror 0 \
    --src "$SRC" --sync "$SRC" --schedule-email "0,bob@example.com" --html 0
  # The same name as the Windows job's schedule, so that the log-ins match.
  mv "$INSTALL/native.tbs" "$INSTALL/job.tbs"
  wait_no_agent
  (cd "$INSTALL" && "$BUILD/tavni-backup" background "$INSTALL/job.tbs") || fail "the native agent failed"
  norm() { grep -E '^#[0-9]+ ' "$1" | sed -e 's/^#[0-9]* c[0-9]* //' -e 's/ | .*//' -e 's/ handle=[0-9]*//g'; }
  diff <(norm "$E2E_TMP/first.record" | sort) <(norm "$NATIVE.record" | sort) >"$E2E_TMP/diff" ||
    { head -n 30 "$E2E_TMP/diff" >&2; fail "the Windows and Linux agents sent other requests"; }
  frame() { norm "$1" | grep -E '^(AUTH|LOCK|MKDIR kind=0 path=/1/Today =|EMAIL)'; }
  diff <(frame "$E2E_TMP/first.record") <(frame "$NATIVE.record") >&2 ||
    fail "the Windows and Linux jobs' frames differ"
fi
echo "wire_audit: ok ($(grep -cE '^#[0-9]+ ' "$RECORD") requests in five jobs, no violation)"

#!/usr/bin/env bash
# The agent puts the same requests and the same payload bytes on the wire
# whatever number of block workers it runs: one tree, backed up with 1, 4 and
# 2 workers, each time into a fresh store, through a first run, a run after
# one block of a five-block file changed, and a mirrored run after a file and
# a folder were deleted. The server's request trace of each run must match
# the one-worker run's line for line.
source "$(dirname "$0")/lib/backup_env.sh"

SRC=$E2E_TMP/data
PRISTINE=$E2E_TMP/pristine
TRACES=$E2E_TMP/traces
mkdir -p "$TRACES"
MIB=1048576

# The tree: many small files in nested folders, text and random data, and
# files of every shape the block cutting knows.
P=$PRISTINE
mkdir -p "$P/small/a/b/c" "$P/small/d" "$P/blocks/nested/deeper" "$P/gone-folder/sub" "$P/empty-folder"
for i in $(seq 1 40); do
  case $((i % 4)) in
    0) seq "$i" $((i * 37)) >"$P/small/a/t$i.txt" ;;
    1) head -c $((i * 97)) /dev/urandom >"$P/small/a/b/r$i.bin" ;;
    2) printf 'line %s\n' $(seq 1 $((i * 3))) >"$P/small/a/b/c/l$i.txt" ;;
    3) head -c $((i * 1031)) /dev/urandom >"$P/small/d/x$i.bin" ;;
  esac
done
: >"$P/blocks/empty.bin"
head -c $((MIB / 2 + 3)) /dev/urandom >"$P/blocks/one-block.bin"
head -c "$MIB" /dev/urandom >"$P/blocks/exactly-one-block.bin"
head -c $((MIB + MIB / 2)) /dev/urandom >"$P/blocks/nested/two-blocks.bin"
head -c $((5 * MIB + 12345)) /dev/urandom >"$P/blocks/nested/five-and-tail.bin"
head -c $((5 * MIB)) /dev/urandom >"$P/blocks/nested/deeper/five.bin"
seq 1 400000 >"$P/blocks/text-3-blocks.txt"
echo bye >"$P/gone.txt"
echo bye >"$P/gone-folder/sub/g.txt"
# Equal times on every copy: the open requests carry them.
find "$P" -exec touch -h -d '2026-06-01 12:00:00' {} +

stop_server() {
  kill "$SERVER_PID" && wait "$SERVER_PID" || fail "the server did not stop cleanly"
  SERVER_PID=
}

# run_traced WORKERS RUN: one job under a server that traces it into
# traces/WORKERS-RUN (the server stops after the job, so the trace is whole).
run_traced() {
  serve_store --trace "$TRACES/$1-$2"
  TAVNI_BACKUP_WORKERS=$1 run_agent "$INSTALL/job.tbs"
  stop_server
  expect_log "$INSTALL/job.tbs.log" "Backup job completed normally."
  expect_no_log "$INSTALL/job.tbs.log" "FILE: ERROR"
}

e2e_on_fail() { tail -n 30 "$INSTALL/job.tbs.log" 2>/dev/null || true; }

# Fields of the data writes of a trace: payload lengths, summed.
data_bytes() { sed -n 's/.* write(12) .* wtype=8 len=\([0-9]*\) .*/\1/p' "$1" | awk '{s += $1} END {print s + 0}'; }

for workers in 1 4 2; do
  rm -rf "$INSTALL" "$STORE" "$SRC"
  cp -a "$PRISTINE" "$SRC"
  setup_install
  "$BUILD/tavni-server" init --store "$STORE" >/dev/null
  "$BUILD/tavni-server" user add --store "$STORE" --id "$USER_ID" --name bob --account acme \
    --acckey-file "$KEYFILE" >/dev/null
  make_schedule "$INSTALL/job.tbs" --dest /1/Today --name wire --src "$SRC" --sync "$SRC"

  run_traced "$workers" 1
  [ "$(count_log "$INSTALL/job.tbs.log" "FILE: Successfully backed up")" = 49 ] ||
    fail "expected 49 files sent with $workers workers"

  # One block of the five changes: its blocks are offered, four are already held.
  printf 'changed' | dd of="$SRC/blocks/nested/deeper/five.bin" bs=1 seek=$((3 * MIB + 10)) \
    conv=notrunc status=none
  touch -d '2030-01-01 00:00:00' "$SRC/blocks/nested/deeper/five.bin"
  run_traced "$workers" 2
  [ "$(count_log "$INSTALL/job.tbs.log" "FILE: Successfully backed up")" = 1 ] ||
    fail "expected one file sent after the one-block change with $workers workers"

  # The mirror deletes what vanished.
  rm "$SRC/gone.txt"
  rm -r "$SRC/gone-folder"
  run_traced "$workers" 3
  expect_log "$INSTALL/job.tbs.log" "SYNC OBJECT: '/1/Today/Root$SRC/gone.txt' is gone; deleting from server."

  rm -rf "$E2E_TMP/out"
  restore "/1/Today/Root$SRC" "$E2E_TMP/out"
  diff -r "$SRC" "$E2E_TMP/out/data" || fail "the restore after $workers workers differs"
done

# The traces hold what the runs are compared on.
T=$TRACES
grep -q ' auth(1) mode=1 ' "$T/1-1" || fail "no log-in traced"
[ "$(grep -c ' wopen(17) ' "$T/1-1")" -ge 49 ] || fail "fewer opens traced than files sent"
grep -q ' delete(6) .*gone.txt' "$T/1-3" || fail "the mirror's delete was not traced"
# The second run offers the five blocks' digests and sends one block's data.
[ "$(grep -c ' write(12) .* wtype=1 len=16 ' "$T/1-2")" = 5 ] || fail "expected five digest offers"
[ "$(grep -c ' write(12) .* wtype=10 ' "$T/1-2")" = 1 ] || fail "expected one block sent"
sent=$(data_bytes "$T/1-2")
[ "$sent" -gt 0 ] && [ "$sent" -le $((MIB + 4096)) ] || fail "the changed block's run sent $sent bytes"

for workers in 4 2; do
  for run in 1 2 3; do
    if ! cmp -s "$T/1-$run" "$T/$workers-$run"; then
      diff "$T/1-$run" "$T/$workers-$run" | head -n 20 >&2
      fail "run $run with $workers workers put other requests on the wire than with one"
    fi
  done
done
echo "wire_conformance: ok ($(wc -l <"$T/1-1") requests in the first run, $sent data bytes for the changed block)"

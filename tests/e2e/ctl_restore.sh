#!/usr/bin/env bash
# tavni-ctl reads the user's runs and trees and restores on this machine:
# snapshots, ls of a run, of a time and with history, diff of two runs, a
# byte-identical restore (a sparse file, a deleted file from the run that
# had it), a restore killed while it writes that ends whole when started
# again and writes nothing outside --to, one on as many connections as the
# server grants, and a damaged stored block that fails only its file and
# that verify --read-data names.
source "$(dirname "$0")/lib/backup_env.sh"
setup_install
start_server

SRC=$E2E_TMP/data
mkdir -p "$SRC/a/b" "$SRC/empty-folder"
: >"$SRC/empty.txt"
seq 1 50000 >"$SRC/a/b/text.txt"
echo "first words" >"$SRC/changed.txt"
echo "soon gone" >"$SRC/gone.txt"
head -c $((3 * 1048576 + 777)) /dev/urandom >"$SRC/a/three-blocks.bin"
# Sparse: data, a 4 MiB hole, data, and a hole at the end.
head -c 1000 /dev/urandom >"$SRC/sparse.img"
truncate -s $((5 * 1048576)) "$SRC/sparse.img"
head -c 1000 /dev/urandom | dd of="$SRC/sparse.img" bs=1 seek=$((5 * 1048576)) conv=notrunc status=none
truncate -s $((8 * 1048576)) "$SRC/sparse.img"
head -c $((96 * 1048576)) /dev/urandom >"$SRC/large.bin"
cp "$SRC/gone.txt" "$E2E_TMP/gone.orig"

ctl_run schedule new --root "$INSTALL" --user-id "$USER_ID" --acckey-file "$KEYFILE" \
  --dest /1/Today --name ctl --src "$SRC" --sync "$SRC" "$INSTALL/job.tbs" >/dev/null
run_agent "$INSTALL/job.tbs"
T1=$(date +%s)
# Runs are told apart by whole seconds.
clock_passed() { [ "$(date +%s)" -gt "$1" ]; }
wait_until clock_passed "$T1" || fail "the clock stood still"

rm "$SRC/gone.txt"
echo "other words" >"$SRC/changed.txt"
touch -d '2031-01-01 00:00:00' "$SRC/changed.txt"
echo new >"$SRC/new.txt"
run_agent "$INSTALL/job.tbs"

READ=(--schedule job.tbs --root "$INSTALL")
OUTRIGHT=(--server "$(cat "$INSTALL/etc/hosts")" --user "$USER_ID" --acckey-file "$KEYFILE")
TOP=1/Today/Root$SRC

# ---- snapshots: two runs, newest first, both ended and vouched ----
ctl_run snapshots "${READ[@]}" >"$E2E_TMP/snap.txt" || fail "snapshots: $(cat "$E2E_TMP/snap.txt")"
ctl_run snapshots "${OUTRIGHT[@]}" --json >"$E2E_TMP/snap.json" || fail "snapshots --json"
python3 - "$E2E_TMP/snap.json" <<'PY' || fail "snapshots --json: $(cat "$E2E_TMP/snap.json")"
import json, sys
runs = json.load(open(sys.argv[1]))["runs"]
assert len(runs) == 2, runs
assert runs[0]["id"] > runs[1]["id"], runs
assert all(r["ended"] and r["vouched"] for r in runs), runs
PY
RUN2=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["runs"][0]["id"])' "$E2E_TMP/snap.json")
RUN1=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["runs"][1]["id"])' "$E2E_TMP/snap.json")
grep -q "^$RUN1 " "$E2E_TMP/snap.txt" || fail "snapshots lists no run $RUN1: $(cat "$E2E_TMP/snap.txt")"

# ---- ls: the deleted file is in the first run, at its time, and in history ----
ctl_run ls "${READ[@]}" --run "$RUN1" "/$TOP" >"$E2E_TMP/ls1.txt"
grep -q " gone.txt" "$E2E_TMP/ls1.txt" || fail "ls --run $RUN1 lacks gone.txt: $(cat "$E2E_TMP/ls1.txt")"
ctl_run ls "${READ[@]}" --run "$RUN2" "/$TOP" >"$E2E_TMP/ls2.txt"
! grep -q " gone.txt" "$E2E_TMP/ls2.txt" || fail "ls --run $RUN2 shows gone.txt"
grep -q " new.txt" "$E2E_TMP/ls2.txt" || fail "ls --run $RUN2 lacks new.txt"
ctl_run ls "${READ[@]}" --at "$T1" "/$TOP" >"$E2E_TMP/lsat.txt"
grep -q " gone.txt (deleted since)" "$E2E_TMP/lsat.txt" || fail "ls --at: $(cat "$E2E_TMP/lsat.txt")"
! grep -q " new.txt" "$E2E_TMP/lsat.txt" || fail "ls --at shows a later file"
ctl_run ls "${READ[@]}" --history "/$TOP" >"$E2E_TMP/lsh.txt"
grep -q " gone.txt (deleted)" "$E2E_TMP/lsh.txt" || fail "ls --history: $(cat "$E2E_TMP/lsh.txt")"
ctl_run ls "${READ[@]}" -R "/$TOP" | grep -q "/$TOP/a/b/text.txt" || fail "ls -R"

# ---- diff ----
ctl_run diff "${READ[@]}" "$RUN1" "$RUN2" >"$E2E_TMP/diff.txt"
grep -qx "added     /$TOP/new.txt" "$E2E_TMP/diff.txt" || fail "diff: $(cat "$E2E_TMP/diff.txt")"
grep -qx "modified  /$TOP/changed.txt" "$E2E_TMP/diff.txt" || fail "diff: $(cat "$E2E_TMP/diff.txt")"
grep -qx "deleted   /$TOP/gone.txt" "$E2E_TMP/diff.txt" || fail "diff: $(cat "$E2E_TMP/diff.txt")"
grep -qx "1 added, 1 modified, 1 deleted" "$E2E_TMP/diff.txt" || fail "diff: $(cat "$E2E_TMP/diff.txt")"

# ---- restore: byte-identical, the sparse file sparse, times kept ----
ctl_run restore "${READ[@]}" --to "$E2E_TMP/out" "/$TOP" >"$E2E_TMP/r1.txt" || fail "restore: $(cat "$E2E_TMP/r1.txt")"
diff -r "$SRC" "$E2E_TMP/out/data" || fail "restore differs"
[ "$(stat -c %Y "$SRC/changed.txt")" = "$(stat -c %Y "$E2E_TMP/out/data/changed.txt")" ] || fail "time not kept"
[ "$(stat -c %a "$SRC/a/b/text.txt")" = "$(stat -c %a "$E2E_TMP/out/data/a/b/text.txt")" ] || fail "mode not kept"
[ "$(stat -c %s "$E2E_TMP/out/data/sparse.img")" = $((8 * 1048576)) ] || fail "sparse size"
[ "$(du -k "$E2E_TMP/out/data/sparse.img" | cut -f1)" -lt 4096 ] || fail "sparse file restored dense"
# The first run's tree holds the deleted file.
ctl_run restore "${OUTRIGHT[@]}" --run "$RUN1" --to "$E2E_TMP/old" "/$TOP/gone.txt" >/dev/null || fail "restore --run"
cmp "$E2E_TMP/gone.orig" "$E2E_TMP/old/gone.txt" || fail "deleted file restore differs"
# Run again: every file whole already; a differing file needs --overwrite.
ctl_run restore "${READ[@]}" --to "$E2E_TMP/out" "/$TOP" >"$E2E_TMP/r2.txt" || fail "second restore"
grep -q "restored 0 files (0 bytes), 7 already whole, 0 not restored" "$E2E_TMP/r2.txt" || fail "rerun: $(cat "$E2E_TMP/r2.txt")"
echo tampered >"$E2E_TMP/out/data/new.txt"
rc=0; ctl_run restore "${READ[@]}" --to "$E2E_TMP/out/data" "/$TOP/new.txt" >/dev/null 2>"$E2E_TMP/r3.err" || rc=$?
[ "$rc" = 2 ] || fail "a differing file was replaced without --overwrite (exit $rc)"
grep -q "exists there (--overwrite replaces it)" "$E2E_TMP/r3.err" || fail "$(cat "$E2E_TMP/r3.err")"
ctl_run restore "${READ[@]}" --to "$E2E_TMP/out/data" --overwrite "/$TOP/new.txt" >/dev/null || fail "--overwrite"
cmp "$SRC/new.txt" "$E2E_TMP/out/data/new.txt" || fail "--overwrite did not restore"
# No link below --to is followed.
mkdir -p "$E2E_TMP/linkout/data" "$E2E_TMP/elsewhere"
ln -s "$E2E_TMP/elsewhere" "$E2E_TMP/linkout/data/a"
rc=0; ctl_run restore "${READ[@]}" --to "$E2E_TMP/linkout" "/$TOP" >/dev/null 2>"$E2E_TMP/link.err" || rc=$?
[ "$rc" = 2 ] || fail "restore through a link: exit $rc"
grep -qx "tavni-ctl: /$TOP/a not restored: $E2E_TMP/linkout/data/a is a link, not a folder (a restore never follows one)" "$E2E_TMP/link.err" || fail "$(cat "$E2E_TMP/link.err")"
[ "$(wc -l <"$E2E_TMP/link.err")" = 1 ] || fail "the link was named more than once: $(cat "$E2E_TMP/link.err")"
[ -z "$(ls -A "$E2E_TMP/elsewhere")" ] || fail "a restore wrote through a link"

# ---- a restore killed while it writes ends whole when started again ----
mkdir -p "$E2E_TMP/box"
"$TAVNI_CTL" restore "${READ[@]}" --to "$E2E_TMP/box/out" "/$TOP" >/dev/null 2>&1 &
KILLED=$!
part_appeared() { [ -e "$E2E_TMP/box/out/data/large.bin.tavni-part" ]; }
wait_until part_appeared || fail "no large.bin.tavni-part appeared"
kill -KILL "$KILLED"; wait "$KILLED" 2>/dev/null || true
ctl_run restore "${READ[@]}" --to "$E2E_TMP/box/out" "/$TOP" >"$E2E_TMP/r4.txt" || fail "restart: $(cat "$E2E_TMP/r4.txt")"
diff -r "$SRC" "$E2E_TMP/box/out/data" || fail "restarted restore differs"
[ "$(ls -A "$E2E_TMP/box")" = out ] || fail "written outside --to: $(ls -A "$E2E_TMP/box")"
[ -z "$(find "$E2E_TMP/box" -name '*.tavni-part')" ] || fail "a .tavni-part was left"

# ---- a server that grants this address one connection, then two: the
# restore runs on the sessions it gets ----
for most in 1 2; do
  kill "$SERVER_PID"; wait "$SERVER_PID" 2>/dev/null || true
  serve_store --max-connections-per-address "$most"
  ctl_run restore "${READ[@]}" --to "$E2E_TMP/few$most" "/$TOP" >"$E2E_TMP/few.txt" || fail "restore on $most connections: $(cat "$E2E_TMP/few.txt")"
  diff -r "$SRC" "$E2E_TMP/few$most/data" || fail "restore on $most connections differs"
done
kill "$SERVER_PID"; wait "$SERVER_PID" 2>/dev/null || true
serve_store

# ---- a damaged stored block fails its file only; verify names it ----
wait_until clock_passed "$(date +%s)" || fail "the clock stood still"
touch "$E2E_TMP/marker"
head -c $((2 * 1048576)) /dev/urandom >"$SRC/victim.bin"
run_agent "$INSTALL/job.tbs"
mapfile -t NEWBLOCKS < <(find "$STORE/blocks" -type f -newer "$E2E_TMP/marker" ! -path "$STORE/blocks/tmp/*")
[ "${#NEWBLOCKS[@]}" -ge 1 ] || fail "no block of victim.bin found in the store"
printf 'XXXXXXXX' | dd of="${NEWBLOCKS[0]}" bs=1 seek=100 conv=notrunc status=none
rc=0; ctl_run restore "${READ[@]}" --to "$E2E_TMP/dmg" "/$TOP" >"$E2E_TMP/dmg.out" 2>"$E2E_TMP/dmg.err" || rc=$?
[ "$rc" = 2 ] || fail "a damaged block: exit $rc"
grep -q "^tavni-ctl: /$TOP/victim.bin not restored: block [01] (digest " "$E2E_TMP/dmg.err" || fail "$(cat "$E2E_TMP/dmg.err")"
[ "$(wc -l <"$E2E_TMP/dmg.err")" = 1 ] || fail "more than its file failed: $(cat "$E2E_TMP/dmg.err")"
[ ! -e "$E2E_TMP/dmg/data/victim.bin" ] || fail "the damaged file got its name"
diff -r -x victim.bin "$SRC" "$E2E_TMP/dmg/data" || fail "the other files did not restore"
rc=0; ctl_run verify "${READ[@]}" --read-data >"$E2E_TMP/v.out" 2>"$E2E_TMP/v.err" || rc=$?
[ "$rc" = 2 ] || fail "verify --read-data: exit $rc"
grep -q "^tavni-ctl: /$TOP/victim.bin: DAMAGED: block [01] (digest " "$E2E_TMP/v.err" || fail "$(cat "$E2E_TMP/v.err")"
# The shares of a subset together read every block once.
total=$(sed -n 's/.*: \([0-9]*\) blocks read.*/\1/p' "$E2E_TMP/v.out")
# (Each share holding the damaged block exits 2 as well.)
ctl_run verify "${READ[@]}" --read-data --subset 1/2 >"$E2E_TMP/s1.out" 2>/dev/null || true
ctl_run verify "${READ[@]}" --read-data --subset 2/2 >"$E2E_TMP/s2.out" 2>/dev/null || true
s1=$(sed -n 's/.*: \([0-9]*\) blocks read.*/\1/p' "$E2E_TMP/s1.out")
s2=$(sed -n 's/.*: \([0-9]*\) blocks read.*/\1/p' "$E2E_TMP/s2.out")
[ -n "$s1" ] && [ -n "$s2" ] && [ "$s1" != 0 ] && [ "$s2" != 0 ] || fail "subsets: $(cat "$E2E_TMP/s1.out" "$E2E_TMP/s2.out")"
[ "$((s1 + s2))" = "$total" ] || fail "subsets read $s1 + $s2 blocks of $total"
echo "ctl_restore: ok"

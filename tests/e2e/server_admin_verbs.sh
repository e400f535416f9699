#!/usr/bin/env bash
# The store's administration verbs on real backups: two runs with a change,
# an addition and a delete between them, then user list, ls -R, diff and
# status; user remove refuses while served and without its confirmation,
# and once done leaves another user's shared blocks restorable.
source "$(dirname "$0")/lib/backup_env.sh"
setup_install
SERVER=$BUILD/tavni-server
"$SERVER" init --store "$STORE" >/dev/null
"$SERVER" user add --store "$STORE" --id 7 --name bob --account acme --acckey-file "$KEYFILE" >/dev/null
# Same account key: the same file content makes the same blocks.
"$SERVER" user add --store "$STORE" --id 8 --name eve --account acme --acckey-file "$KEYFILE" >/dev/null
serve_store

SRC=$E2E_TMP/data
mkdir -p "$SRC/sub"
echo "first" >"$SRC/a.txt"
echo "kept" >"$SRC/keep.txt"
echo "below" >"$SRC/sub/b.txt"
echo "doomed" >"$SRC/sub/del.txt"
head -c 200000 /dev/urandom >"$SRC/shared.bin"
make_schedule "$INSTALL/job.tbs" --dest /1/Today --name admin --src "$SRC" --sync "$SRC"
run_agent "$INSTALL/job.tbs"
expect_log "$INSTALL/job.tbs.log" "Backup job completed normally."

SRC8=$E2E_TMP/eve
mkdir -p "$SRC8"
cp "$SRC/shared.bin" "$SRC8/shared.bin"
USER_ID=8 make_schedule "$INSTALL/eve.tbs" --dest /2/Eve --name eve --src "$SRC8"
run_agent "$INSTALL/eve.tbs"
expect_log "$INSTALL/eve.tbs.log" "Backup job completed normally."

# The second run must store in a later second than the first ended in.
T1=$(date +%s)
later_than_t1() { [ "$(date +%s)" -gt "$T1" ]; }
wait_until later_than_t1 || fail "the clock did not move"
echo "second, longer" >"$SRC/a.txt"
rm "$SRC/sub/del.txt"
echo "new" >"$SRC/new.txt"
run_agent "$INSTALL/job.tbs"
expect_log "$INSTALL/job.tbs.log" "SYNC OBJECT: '/1/Today/Root$SRC/sub/del.txt' is gone; deleting from server."

# user list: a header, then one aligned line per user.
"$SERVER" user list --store "$STORE" >"$E2E_TMP/users" || fail "user list failed"
head -n 1 "$E2E_TMP/users" | grep -qE '^ID +NAME +ACCOUNT +FILES +BYTES +VERSIONS$' \
  || fail "user list header: $(head -n 1 "$E2E_TMP/users")"
BYTES7=$(cat "$SRC/a.txt" "$SRC/keep.txt" "$SRC/sub/b.txt" "$SRC/shared.bin" "$SRC/new.txt" | wc -c)
grep -qE "^7 +bob +acme +5 +$BYTES7 +7\$" "$E2E_TMP/users" || fail "user 7 line: $(cat "$E2E_TMP/users")"
grep -qE '^8 +eve +acme +1 +200000 +1$' "$E2E_TMP/users" || fail "user 8 line: $(cat "$E2E_TMP/users")"

# ls -R: every entry below the path with its full path.
STAMP='[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [+-][0-9]{4}'
ROOT=/1/Today/Root$SRC
"$SERVER" ls --store "$STORE" --user 7 -R "$ROOT" | awk '{print $NF}' >"$E2E_TMP/tree"
printf '%s\n' "$ROOT/a.txt" "$ROOT/keep.txt" "$ROOT/new.txt" "$ROOT/shared.bin" "$ROOT/sub/" \
  "$ROOT/sub/b.txt" >"$E2E_TMP/tree.expected"
diff "$E2E_TMP/tree.expected" "$E2E_TMP/tree" || fail "ls -R lists otherwise"
"$SERVER" ls --store "$STORE" --user 7 -R "$ROOT" | grep -qE " 200000  $ROOT/shared.bin\$" \
  || fail "ls -R shows no size"

# diff between the two runs, and the same with a date-time.
"$SERVER" diff --store "$STORE" --user 7 --from "$T1" "$ROOT" >"$E2E_TMP/diff" || fail "diff failed"
printf '%s\n' "M $ROOT/a.txt" "A $ROOT/new.txt" "D $ROOT/sub/del.txt" >"$E2E_TMP/diff.expected"
diff "$E2E_TMP/diff.expected" "$E2E_TMP/diff" || fail "diff differs"
"$SERVER" diff --store "$STORE" --user 7 --from "$(date -u -d "@$T1" '+%Y-%m-%d %H:%M:%S')" \
  --to "$(date -u '+%Y-%m-%d %H:%M:%S')" "$ROOT" | diff "$E2E_TMP/diff.expected" - \
  || fail "diff with date-times differs"
# Times are shown in the local zone with its offset, and such a time is
# taken back as the same moment.
IST=IST-5:30
TZ=$IST "$SERVER" ls --store "$STORE" --user 7 -R "$ROOT" | grep -E "^$STAMP " >"$E2E_TMP/ls.ist"
[ "$(grep -c ' +0530 ' "$E2E_TMP/ls.ist")" = 6 ] || fail "ls -R times not local: $(cat "$E2E_TMP/ls.ist")"
TZ=$IST "$SERVER" diff --store "$STORE" --user 7 --from "$(TZ=$IST date -d "@$T1" '+%Y-%m-%d %H:%M:%S %z')" \
  "$ROOT" | diff "$E2E_TMP/diff.expected" - || fail "diff with a local time and its offset differs"
# On a terminal sizes are in units; through a pipe, in bytes (above).
script -qec "$SERVER user list --store $STORE" /dev/null | tr -d '\r' >"$E2E_TMP/users.tty" ||
  fail "user list on a terminal failed"
grep -qE '^8 +eve +acme +1 +195\.3 KiB +1$' "$E2E_TMP/users.tty" || fail "user list on a terminal: $(cat "$E2E_TMP/users.tty")"
script -qec "$SERVER ls --store $STORE --user 8 /2/Eve/Root$SRC8" /dev/null | tr -d '\r' >"$E2E_TMP/ls.tty"
grep -qE "^$STAMP +195\.3 KiB  shared\.bin\$" "$E2E_TMP/ls.tty" || fail "ls on a terminal: $(cat "$E2E_TMP/ls.tty")"
if "$SERVER" diff --store "$STORE" --user 7 --from yesterday "$ROOT" 2>"$E2E_TMP/err"; then
  fail "a bad time was taken"
fi
grep -qF 'bad --from time "yesterday"' "$E2E_TMP/err" || fail "bad time message: $(cat "$E2E_TMP/err")"
if "$SERVER" diff --store "$STORE" --user 99 --from "$T1" 2>"$E2E_TMP/err"; then
  fail "an unknown user was taken"
fi
grep -qF "no user 99" "$E2E_TMP/err" || fail "unknown user message: $(cat "$E2E_TMP/err")"

# status: one row per user and destination.
"$SERVER" status --store "$STORE" >"$E2E_TMP/status" || fail "status failed"
head -n 1 "$E2E_TMP/status" | grep -qE '^USER +DESTINATION +FILES +BYTES +LAST-STORED +LAST-JOB +LAST-FAILURE +REASON$' \
  || fail "status header: $(head -n 1 "$E2E_TMP/status")"
grep -qE "^7 +/1/Today +5 +$BYTES7 +$STAMP +$STAMP +- +-\$" "$E2E_TMP/status" \
  || fail "status of user 7: $(cat "$E2E_TMP/status")"
grep -qE '^8 +/2/Eve +1 +200000 ' "$E2E_TMP/status" || fail "status of user 8: $(cat "$E2E_TMP/status")"
[ "$("$SERVER" status --store "$STORE" --user 8 | wc -l)" = 2 ] || fail "status --user 8 shows others"

# The file deleted by the second run: in the folder as it stood after the
# first, gone from it now, and marked deleted in the folder's history.
"$SERVER" ls --store "$STORE" --user 7 --at "$T1" "$ROOT/sub" | grep -q ' del.txt$' ||
  fail "ls --at does not show the file deleted later"
if "$SERVER" ls --store "$STORE" --user 7 "$ROOT/sub" | grep -q 'del.txt'; then
  fail "ls shows a deleted file"
fi
"$SERVER" ls --store "$STORE" --user 7 --history "$ROOT/sub" | grep -q ' del.txt  (deleted)$' ||
  fail "ls --history leaves the deleted file out"

# The same listings for scripts, --json: exact sizes, times in seconds.
"$SERVER" user list --store "$STORE" --json >"$E2E_TMP/users.json"
"$SERVER" status --store "$STORE" --json >"$E2E_TMP/status.json"
"$SERVER" ls --store "$STORE" --user 7 -R --json "$ROOT" >"$E2E_TMP/tree.json"
"$SERVER" ls --store "$STORE" --user 7 --history --json "$ROOT" >"$E2E_TMP/hist.json"
"$SERVER" ls --store "$STORE" --user 7 --history --json "$ROOT/a.txt" >"$E2E_TMP/file.json"
python3 - "$E2E_TMP" "$ROOT" "$BYTES7" "$T1" <<'PY' || fail "--json answers: $(cat "$E2E_TMP"/*.json)"
import json, sys
tmp, root, bytes7, t1 = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
load = lambda n: json.load(open(f"{tmp}/{n}.json"))
users = {u["id"]: u for u in load("users")["users"]}
assert users[7] == {"id": 7, "name": "bob", "account": "acme", "files": 5, "bytes": bytes7, "versions": 7}, users
assert users[8]["bytes"] == 200000, users
st = load("status")
rows = {(d["user"], d["destination"]): d for d in st["destinations"]}
assert rows[(7, "/1/Today")]["files"] == 5 and rows[(7, "/1/Today")]["bytes"] == bytes7, rows
assert rows[(7, "/1/Today")]["last_stored"] >= t1 and rows[(7, "/1/Today")]["last_failure"] is None, rows
assert rows[(8, "/2/Eve")]["bytes"] == 200000 and st["last_store_failure"] is None, st
tree = load("tree")
paths = [(e["path"], e["folder"]) for e in tree["entries"]]
assert paths == [(root + "/a.txt", False), (root + "/keep.txt", False), (root + "/new.txt", False),
                 (root + "/shared.bin", False), (root + "/sub", True), (root + "/sub/b.txt", False)], paths
shared = tree["entries"][3]
assert shared["size"] == 200000 and shared["damaged"] is False and shared["mtime_text"].count(" ") == 2, shared
hist = {e["path"]: e for e in load("hist")["entries"]}
assert len(hist[root + "/a.txt"]["versions"]) == 2 and "versions" not in hist[root + "/sub"], hist
f = load("file")["entries"]
assert len(f) == 1 and f[0]["size"] == len("second, longer\n"), f
vs = f[0]["versions"]
assert [v["replaced"] is None for v in vs].count(True) == 1 and vs[0]["size"] == len("first\n"), vs
PY

# user remove: without the flag it only says what would go; with it, it
# waits for the server to be stopped.
stored_blocks() { python3 "$(dirname "$0")/lib/stored_blocks.py" "$STORE" | wc -l; }
BLOCKS_BEFORE=$(stored_blocks)
if "$SERVER" user remove --store "$STORE" --id 7 2>"$E2E_TMP/err"; then
  fail "user remove ran without its confirmation"
fi
grep -qF -- "--yes-remove-data" "$E2E_TMP/err" || fail "refusal message: $(cat "$E2E_TMP/err")"
grep -qF "5 current files" "$E2E_TMP/err" || fail "refusal says not what goes: $(cat "$E2E_TMP/err")"
if "$SERVER" user remove --store "$STORE" --id 7 --yes-remove-data 2>"$E2E_TMP/err"; then
  fail "user remove ran while the store was served"
fi
grep -qF "stop the server" "$E2E_TMP/err" || fail "served message: $(cat "$E2E_TMP/err")"
"$SERVER" user list --store "$STORE" | grep -qE '^7 ' || fail "a refusal removed the user"
kill "$SERVER_PID"; wait "$SERVER_PID" 2>/dev/null || true; SERVER_PID=

# The account key (and user) from the installation's schedule, named by its
# file name from another folder; nothing of the schedule's parsing is printed.
(cd "$E2E_TMP" && "$SERVER" restore --store "$STORE" --root "$INSTALL" --schedule job.tbs \
  --to "$E2E_TMP/out-sched" "/1/Today/Root$SRC/a.txt" >/dev/null 2>"$E2E_TMP/sched.err") ||
  fail "restore with the schedule's key: $(cat "$E2E_TMP/sched.err")"
cmp "$SRC/a.txt" "$E2E_TMP/out-sched/a.txt" || fail "the restore with the schedule's key differs"
[ ! -s "$E2E_TMP/sched.err" ] || fail "restore printed: $(cat "$E2E_TMP/sched.err")"

"$SERVER" user remove --store "$STORE" --id 7 --yes-remove-data >/dev/null || fail "user remove failed"
! "$SERVER" user list --store "$STORE" | grep -qE '^7 ' || fail "user 7 still listed"
if "$SERVER" ls --store "$STORE" --user 7 -R 2>"$E2E_TMP/err"; then fail "user 7 still has a tree"; fi
grep -qF "no user 7" "$E2E_TMP/err" || fail "removed user message: $(cat "$E2E_TMP/err")"
BLOCKS_AFTER=$(stored_blocks)
# Seven versions of user 7, one block each, one of them shared with user 8.
[ "$BLOCKS_BEFORE" = 7 ] || fail "expected 7 stored blocks, found $BLOCKS_BEFORE"
[ "$BLOCKS_AFTER" = 1 ] || fail "expected only the shared block left, found $BLOCKS_AFTER"
USER_ID=8 restore "/2/Eve/Root$SRC8/shared.bin" "$E2E_TMP/out8" || fail "user 8 cannot restore"
cmp "$SRC8/shared.bin" "$E2E_TMP/out8/shared.bin" || fail "user 8's restore differs"
"$SERVER" verify --store "$STORE" --user 8 --acckey-file "$KEYFILE" >/dev/null || fail "user 8 does not verify"
echo "server_admin_verbs: ok"

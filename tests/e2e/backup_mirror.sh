#!/usr/bin/env bash
# Mirrored folders, excluded folders, links and folder filters against a real
# server: what vanished locally leaves the server's current tree, what is
# excluded is neither sent nor deleted, a link is not followed, and a folder
# with its own filter is sent under that filter; where nothing is mirrored, a
# file that became a folder is a failed item whose line says why.
source "$(dirname "$0")/lib/backup_env.sh"
setup_install
start_server

SRC=$E2E_TMP/m
mkdir -p "$SRC/keep" "$SRC/gone-folder/sub" "$SRC/skip" "$SRC/filtered" "$E2E_TMP/outside"
echo a >"$SRC/keep/a.txt"
echo b >"$SRC/gone.txt"
echo c >"$SRC/gone-folder/sub/c.txt"
echo s >"$SRC/skip/secret.txt"
echo doc >"$SRC/filtered/report.doc"
echo tmp >"$SRC/filtered/junk.tmp"
echo o >"$E2E_TMP/outside/o.txt"
mkdir -p "$SRC/linked"; echo l >"$SRC/linked/l.txt"

make_schedule "$INSTALL/m.tbs" --dest /1/Today --name mirror --src "$SRC" --sync "$SRC" \
  --xsrc "$SRC/skip" --filter "$SRC/filtered|1|*.tmp"
run_agent "$INSTALL/m.tbs"
LOG=$INSTALL/m.tbs.log
expect_log "$LOG" "Backup job completed normally."
tree() { "$BUILD/tavni-server" ls --store "$STORE" --user "$USER_ID" "/1/Today/Root$SRC/$1" 2>/dev/null || true; }
tree "" | grep -q "gone.txt" || fail "gone.txt was not sent"
tree "" | grep -q "linked" || fail "linked folder was not sent"
tree "" | grep -q "skip" && fail "excluded folder was sent"
tree "filtered" | grep -q "report.doc" || fail "filtered folder not sent under its filter"
tree "filtered" | grep -q "junk.tmp" && fail "filter did not skip junk.tmp"
expect_log "$LOG" "Got filter: '$SRC/filtered'"

# Remove a file and a folder, replace a folder by a link: the mirror deletes
# them on the server; the excluded folder stays as it is (never sent).
rm "$SRC/gone.txt"; rm -r "$SRC/gone-folder" "$SRC/linked"
ln -s "$E2E_TMP/outside" "$SRC/linked"
run_agent "$INSTALL/m.tbs"
expect_log "$LOG" "SYNC OBJECT: '/1/Today/Root$SRC/gone.txt' is gone; deleting from server."
expect_log "$LOG" "SYNC OBJECT: '/1/Today/Root$SRC/gone-folder' is gone; deleting from server."
expect_log "$LOG" "Ignoring '$SRC/linked' as it is a reparse point."
tree "" | grep -q "gone.txt" && fail "gone.txt still current on the server"
tree "" | grep -q "gone-folder" && fail "gone-folder still current on the server"
tree "" | grep -q "linked" && fail "the link's old folder is still current"
tree "keep" | grep -q "a.txt" || fail "keep/a.txt lost"
expect_no_log "$LOG" "o.txt"

# Mirroring off: a source is stored under its last name.
make_schedule "$INSTALL/flat.tbs" --dest /2 --name flat --mirror 0 --src "$SRC/keep"
run_agent "$INSTALL/flat.tbs"
"$BUILD/tavni-server" ls --store "$STORE" --user "$USER_ID" /2/keep | grep -q a.txt || fail "mirror=0 name"
# A file that became a folder where nothing is mirrored: the server keeps the
# file, and the job says why the folder was not made.
rm "$SRC/keep/a.txt"; mkdir "$SRC/keep/a.txt"; echo in >"$SRC/keep/a.txt/in.txt"
run_agent "$INSTALL/flat.tbs"
expect_log "$INSTALL/flat.tbs.log" "DIRECTORY: ERROR: Server side failure from ctfs_mkdir() with error code 2 on '$SRC/keep/a.txt'"
expect_log "$INSTALL/flat.tbs.log" "DIRECTORY: The server holds a file at '/2/keep/a.txt'; only a mirrored folder replaces it with the folder."
echo "backup_mirror: ok"

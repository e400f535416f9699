#!/usr/bin/env bash
# Entries that exist but cannot be looked at are failed items, never "gone":
# a mirrored folder whose subfolder becomes readable but not searchable keeps
# the server copies of that subfolder's files, and the report counts them as
# failed. The agent runs as an unprivileged user (root reads everything).
source "$(dirname "$0")/lib/backup_env.sh"
setup_install
start_server

SRC=$E2E_TMP/u
mkdir -p "$SRC/locked" "$SRC/open"
echo a >"$SRC/locked/a.txt"
echo b >"$SRC/locked/b.txt"
echo o >"$SRC/open/o.txt"
make_schedule "$INSTALL/u.tbs" --dest /1 --name unreadable --src "$SRC" --sync "$SRC" \
  --schedule-email "0,owner@example.com" --html 0

agent_user_owns "$INSTALL" "$SRC"
run_job() {
  (cd "$INSTALL" && as_agent_user "$BUILD/tavni-backup" background "$INSTALL/u.tbs") ||
    fail "agent exited $?"
}
tree() { "$BUILD/tavni-server" ls --store "$STORE" --user "$USER_ID" "/1/Root$SRC/$1" 2>/dev/null || true; }

run_job
tree locked | grep -q a.txt || fail "locked/a.txt was not sent"

# Readable, not searchable: the names can be listed, nothing can be stat'ed.
as_agent_user chmod 0444 "$SRC/locked"
run_job
LOG=$INSTALL/u.tbs.log
expect_log "$LOG" "ITEM: ERROR (errno 13) while attempting to stat(): '$SRC/locked/a.txt'"
expect_no_log "$LOG" "is gone; deleting from server."
tree locked | grep -q a.txt || fail "the server copy of locked/a.txt was deleted"
tree locked | grep -q b.txt || fail "the server copy of locked/b.txt was deleted"
tree open | grep -q o.txt || fail "open/o.txt lost"
expect_log "$LOG" "Backup job completed normally."
"$BUILD/tavni-server" mail list --store "$STORE" | tail -1 | cut -d' ' -f1 >"$E2E_TMP/mail.id"
"$BUILD/tavni-server" mail show --store "$STORE" "$(cat "$E2E_TMP/mail.id")" >"$E2E_TMP/report.txt"
grep -qE "Files failed +2" "$E2E_TMP/report.txt" || { cat "$E2E_TMP/report.txt"; fail "the report does not count the two unreadable files as failed"; }

as_agent_user chmod 0755 "$SRC/locked"
echo "backup_unreadable: ok"

#!/usr/bin/env bash
# A root agent and a local stranger: the stranger owns the folder of a
# schedule and plants links to a file of root's at the names the job writes
# (job log, schedule digest, change index, mail queue). The victim stays as
# it was and the job still runs. Then a job in an ordinary folder: its log is
# readable by its owner only, and its pre-backup command inherits none of the
# agent's descriptors.
source "$(dirname "$0")/lib/backup_env.sh"
setup_install
start_server

# The stranger is nobody when we are root; otherwise we plant the links
# ourselves, which shows the same thing about the agent.
if [ "$(id -u)" = 0 ] && id nobody >/dev/null 2>&1; then
  chmod 755 "$E2E_TMP"
  as_stranger() { runuser -u nobody -- "$@"; }
  STRANGER=nobody
else
  as_stranger() { "$@"; }
  STRANGER=$(id -un)
fi

# Runs the agent on one schedule with no descriptors but 0, 1 and 2, so that
# whatever its command sees beyond them is the agent's own doing. The job
# mailslot is the machine's: while an agent of another test run holds it,
# ours runs no job, so it waits for that agent and runs again.
run_agent_clean() { # schedule stderr-file
  local deadline=$((SECONDS + E2E_WAIT))
  while [ "$SECONDS" -lt "$deadline" ]; do
    wait_no_agent
    # Python's child processes get 0, 1 and 2 only.
    (cd "$INSTALL" && exec python3 -c \
      'import subprocess, sys; sys.exit(subprocess.call(sys.argv[1:]))' \
      "$BUILD/tavni-backup" background "$1" 2>"$2") || fail "agent exited $?"
    grep -q "ipc_rx_setup(.*) failed" "$INSTALL/agent.log" || return 0
  done
  fail "the job mailslot stayed taken"
}

SRC=$E2E_TMP/src
mkdir -p "$SRC"
echo one >"$SRC/one.txt"
echo two >"$SRC/two.txt"

# 1. The stranger's folder.
EVIL=$E2E_TMP/evil
mkdir -p "$EVIL"
chown "$STRANGER" "$EVIL"
VICTIM=$E2E_TMP/victim
printf 'root file\n' >"$VICTIM"
chmod 644 "$VICTIM"
cp "$VICTIM" "$E2E_TMP/victim.orig"
make_schedule "$EVIL/x" --dest /1 --name x --src "$SRC"
for name in x.log x.ts x.fci x.eml; do
  as_stranger ln -s "$VICTIM" "$EVIL/$name"
done
run_agent_clean "$EVIL/x" "$E2E_TMP/evil.stderr"
cmp -s "$VICTIM" "$E2E_TMP/victim.orig" || fail "the victim was written: $(head -c 200 "$VICTIM")"
for name in x.log x.ts x.eml; do
  [ -L "$EVIL/$name" ] || fail "$name is no longer the planted link"
done
# The old change index is moved aside and dropped as unreadable; the new one
# is a file of the agent's own.
[ -f "$EVIL/x.fci" ] && [ ! -L "$EVIL/x.fci" ] || fail "no index of the agent's own"
[ "$(stat -c '%u %a' "$EVIL/x.fci")" = "$(id -u) 600" ] || fail "index $(stat -c '%U %a' "$EVIL/x.fci")"
expect_log "$INSTALL/agent.log" "Could not open log file '$EVIL/x'"
expect_log "$INSTALL/agent.log" "initial procjob('$EVIL/x') completed successfully"
# The job's lines went to the debug output instead.
expect_log "$E2E_TMP/evil.stderr" "Initialized log file '$EVIL/x.log'"
expect_log "$E2E_TMP/evil.stderr" "Backup job completed normally."
restore "/1/Root$SRC" "$E2E_TMP/out-evil"
diff -r "$SRC" "$E2E_TMP/out-evil/src" || fail "the job in the stranger's folder did not back up"

# 2. An ordinary folder: the job log is private, the command sees 0, 1, 2.
GOOD=$E2E_TMP/good
mkdir -p "$GOOD"
FDS=$E2E_TMP/fds.txt
# ls lists its own descriptors; the one it reads the listing through is its own.
make_schedule "$GOOD/y.tbs" --dest /2 --name y --src "$SRC" \
  --precmd "sh -c \"exec ls -l /proc/self/fd > '$FDS'\""
run_agent_clean "$GOOD/y.tbs" "$E2E_TMP/good.stderr"
expect_log "$GOOD/y.tbs.log" "Successfully executed pre-backup command (exit code 0)."
expect_log "$GOOD/y.tbs.log" "Backup job completed normally."
[ "$(stat -c %a "$GOOD/y.tbs.log")" = 600 ] || fail "job log mode $(stat -c %a "$GOOD/y.tbs.log")"
for f in "$GOOD/y.tbs.ts" "$GOOD/y.fci"; do
  [ "$(stat -c %a "$f")" = 600 ] || fail "$f mode $(stat -c %a "$f")"
done
[ -s "$FDS" ] || fail "the pre-backup command listed nothing"
extra=$(sed -n 's/.* \([0-9][0-9]*\) -> \(.*\)$/\1 -> \2/p' "$FDS" \
  | grep -vE '^[012] -> |-> /proc/[0-9]+/fd$' || true)
[ -z "$extra" ] || fail "the pre-backup command inherited: $extra"
[ "$(grep -cE ' [012] -> ' "$FDS")" = 3 ] || fail "descriptors of the command: $(cat "$FDS")"

# A second run empties the private log and keeps it private.
chmod 644 "$GOOD/y.tbs.log"
run_agent_clean "$GOOD/y.tbs" "$E2E_TMP/good2.stderr"
[ "$(stat -c %a "$GOOD/y.tbs.log")" = 600 ] || fail "second run left the job log $(stat -c %a "$GOOD/y.tbs.log")"
[ "$(count_log "$GOOD/y.tbs.log" "Initialized log file")" = 1 ] || fail "the job log was not emptied"
echo "hostile_job_files: ok"

#!/usr/bin/env bash
# A file rewritten, with the same size, within the second in which the agent
# read it must not be skipped for ever: a writer rewrites a file as fast as it
# can while the agent backs it up, then stops with one last rewrite right
# after the job; one more undisturbed run must leave the file's last bytes on
# the server. Without a check after the read, the index and the server keep
# the second of the listing with older bytes, and every later run finds the
# file "current". The rounds give the race many chances to fall in one second.
source "$(dirname "$0")/lib/backup_env.sh"
setup_install
start_server

SRC=$E2E_TMP/r
mkdir -p "$SRC"
F=$SRC/hot.txt
echo "a neighbour that stays" >"$SRC/calm.txt"
printf '%012d\n' 0 >"$F"
make_schedule "$INSTALL/r.tbs" --dest /1 --name racing --src "$SRC"
LOG=$INSTALL/r.tbs.log
ROUNDS=${TAVNI_RACE_ROUNDS:-8}

W=
stop_writer() { [ -z "$W" ] || { kill "$W" 2>/dev/null; wait "$W" 2>/dev/null || true; W=; }; }
trap 'stop_writer; e2e_cleanup' EXIT
# Rewrites the file in place, until killed: opened without truncating, so
# that its size stays 13 bytes throughout.
writer() {
  local i=1
  while :; do
    printf '%012d\n' "$i" 1<>"$F"
    i=$((i + 1))
  done
}

# The job is done with the file: sent, or given up.
hot_done() { grep -qE "FILE: (Successfully backed up|Failed backing up) '$F'" "$LOG" 2>/dev/null; }

for round in $(seq "$ROUNDS"); do
  rm -f "$LOG"
  writer &
  W=$!
  start_agent "$INSTALL/r.tbs"
  # The last rewrite follows the file's read at once, within its second
  # more often than not (the agent lingers after its job, so its end is
  # too late).
  wait_until hot_done || fail "round $round: the job never finished with the file"
  stop_writer
  printf '%012d\n' "$((round * 1000000))" 1<>"$F"
  wait "$AGENT" || fail "round $round: agent exit code $?"
  # Nothing writes now: this run must leave the last bytes on the server.
  run_agent "$INSTALL/r.tbs"
  expect_log "$LOG" "Backup job completed normally."
  rm -rf "$E2E_TMP/out"
  restore "/1/Root$SRC" "$E2E_TMP/out"
  cmp -s "$F" "$E2E_TMP/out/r/hot.txt" ||
    fail "round $round: the server holds '$(cat "$E2E_TMP/out/r/hot.txt" 2>/dev/null)' for a file that reads '$(cat "$F")'; job log: $(grep -F hot.txt "$LOG")"
  cmp -s "$SRC/calm.txt" "$E2E_TMP/out/r/calm.txt" || fail "round $round: calm.txt differs"
done
echo "backup_racing_writer: ok"

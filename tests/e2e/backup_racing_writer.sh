#!/usr/bin/env bash
# A file rewritten with the same size within the second in which the agent
# read it must not be skipped for ever: a writer rewrites it as fast as it
# can while a job backs it up and stops, with one last rewrite, as soon as the
# job is done with the file; one more undisturbed run must then leave the
# last bytes on the server. The rounds give the race many chances to fall
# within one second.
source "$(dirname "$0")/lib/backup_env.sh"
setup_install
start_server

SRC=$E2E_TMP/r
F=$SRC/hot.txt
mkdir -p "$SRC"
printf '%012d\n' 0 >"$F"
make_schedule "$INSTALL/r.tbs" --dest /1 --name racing --src "$SRC"
LOG=$INSTALL/r.tbs.log
W=
stop_writer() { [ -z "$W" ] || { kill "$W" 2>/dev/null; wait "$W" 2>/dev/null || true; W=; }; }
trap 'stop_writer; e2e_cleanup' EXIT
# In place, never truncated: the size stays 13 bytes throughout.
writer() { local i=1; while :; do printf '%012d\n' $((i++)) 1<>"$F"; done; }
hot_done() { grep -qE "FILE: (Successfully backed up|Failed backing up) '$F'" "$LOG" 2>/dev/null; }

for round in $(seq "${TAVNI_RACE_ROUNDS:-8}"); do
  rm -f "$LOG"
  writer &
  W=$!
  start_agent "$INSTALL/r.tbs"
  # Not the agent's end: it lingers after its job, past the file's second.
  wait_until hot_done || fail "round $round: the job never finished with the file"
  stop_writer
  printf '%012d\n' "$((round * 1000000))" 1<>"$F"
  wait "$AGENT" || fail "round $round: agent exit code $?"
  run_agent "$INSTALL/r.tbs"
  rm -rf "$E2E_TMP/out"
  restore "/1/Root$SRC" "$E2E_TMP/out"
  cmp -s "$F" "$E2E_TMP/out/r/hot.txt" ||
    fail "round $round: the server holds '$(cat "$E2E_TMP/out/r/hot.txt" 2>/dev/null)' for a file that reads '$(cat "$F")': $(grep -F hot.txt "$LOG")"
done
echo "backup_racing_writer: ok"

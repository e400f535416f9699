#!/usr/bin/env bash
# tavni-ctl progress --watch on a terminal (a tmux pane): it waits for the
# agent, the bar moves inside a large file, the line shows files, bytes, rate
# and time left, and the job's outcome is told when it ends.
source "$(dirname "$0")/lib/backup_env.sh"

TMUX_SOCKET=tavni-e2e-$$
tmx() { tmux -L "$TMUX_SOCKET" -f /dev/null "$@"; }
if ! command -v tmux >/dev/null || ! tmx new-session -d -s probe -x 120 -y 10 'exec cat' 2>/dev/null; then
  echo "SKIP: ctl_progress_watch needs tmux, which cannot start here (install tmux: ./run deps)"
  exit 0
fi
tmx kill-session -t probe
cleanup_watch() {
  [ -z "${SERVER_PID:-}" ] || kill -CONT "$SERVER_PID" 2>/dev/null || true
  tmx kill-server 2>/dev/null || true
  e2e_cleanup
}
trap cleanup_watch EXIT

setup_install
init_store
"$BUILD/tavni-server" user add --store "$STORE" --id "$USER_ID" --name bob --account acme --acckey-file "$KEYFILE" >/dev/null
SRC=$E2E_TMP/s
mkdir -p "$SRC"

pane() { tmx capture-pane -p -t watch 2>/dev/null; }
pane_has() { pane | grep -E -- "$1" >/dev/null; }
e2e_on_fail() { echo "pane:"; pane; }

# The server holds itself (the fault switch's stop: SIGSTOP) just before its
# HOLD_AT-th answer. Every 1 MiB block of the large file waits for the answer
# to its checksum offer, and about ten answers come before the first block
# (key, log-in, lock, folders, open; a few more under a deep TMPDIR), so the
# job stands still inside the file, whatever the machine's speed, until the
# server is continued.
HOLD_AT=40
server_held() { [ "$(sed 's/^.*) //' "/proc/$SERVER_PID/stat" 2>/dev/null | cut -d' ' -f1)" = T ]; }

# Part of the large file sent: the bar stands between its ends.
bar='^\[#*-+\] +[1-9][0-9]?% 0/1 files [0-9.]+ [KMG]iB/64\.0 MiB'
bar_or_end() { pane_has "$bar" || pane_has "^watch exit"; }

# The agent's objects are the machine's: an agent of another test run that
# starts while ours runs, or right after it ended, can be followed instead of
# ours. The job's name is this run's own, so that such a run is told by the
# outcome line, and then the whole is done again, with a file of new content
# and a server that holds again. The watch starts before the agent and waits
# for it; the pane stays after the watch ends (cat holds it) so that its last
# lines can be read.
JOB=big-$$
for attempt in 1 2 3 4 5; do
  head -c $((64 * 1048576)) /dev/zero | tr '\0' "$attempt" >"$SRC/big.bin"
  make_schedule "$INSTALL/big$attempt.tbs" --dest /1 --name "$JOB" --src "$SRC"
  TAVNI_FAULT=send:$HOLD_AT:stop serve_store
  wait_no_agent
  tmx new-session -d -s watch -x 120 -y 20 \
    "'$TAVNI_CTL' progress --watch --wait 300 --schedule '$INSTALL/big$attempt.tbs'; echo \"watch exit \$?\"; exec cat"
  start_agent "$INSTALL/big$attempt.tbs"
  wait_until bar_or_end || fail "no bar inside the large file"
  if pane_has "$bar"; then
    # While the server holds, the rate and the time left show.
    wait_until server_held || fail "the server did not hold before its answer $HOLD_AT"
    wait_until pane_has "$bar [0-9.]+ ([KMG]iB|B)/s [0-9]+:[0-9]{2}:[0-9]{2} left" \
      || fail "no rate and time left on the bar"
    kill -CONT "$SERVER_PID"
    wait_ended "$AGENT" || fail "the agent did not end"
    wait_until pane_has "^watch exit" || fail "the watch did not end"
    pane_has "^Job '$JOB': " && break
  fi
  kill -CONT "$SERVER_PID"
  wait_ended "$AGENT" || fail "the agent did not end"
  tmx kill-session -t watch
  kill "$SERVER_PID" && wait "$SERVER_PID" 2>/dev/null || true
  [ "$attempt" -lt 5 ] || fail "the watch kept following other agents"
done

pane_has "^watch exit 0$" || fail "the watch did not end well"
pane_has "^Job '$JOB': the job completed \(1 sent, 0 up to date, 0 failed\)\.$" || fail "no outcome line"
pane_has '^\[#{12}\] 100%' || fail "the bar did not reach its end"
echo "ctl_progress_watch: ok"

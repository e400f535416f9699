#!/usr/bin/env bash
# Hostile peers against a real server while the real agent backs up: sockets
# that never log in, a flood of wrong log-ins and a listing filter built to
# make a matcher backtrack; then a client that hoards open files on a server
# with few descriptors, and a mail of many parts. Each time the agent's backup
# restores byte for byte, and the server's log says what it refused and why.
source "$(dirname "$0")/lib/backup_env.sh"
HOSTILE=$BUILD/tavni_hostile_client
ATTACKERS=()
stop_attackers() {
  local p
  for p in "${ATTACKERS[@]}"; do kill "$p" 2>/dev/null && { wait "$p" 2>/dev/null || true; }; done
  ATTACKERS=()
}
trap 'stop_attackers; e2e_cleanup' EXIT

setup_install
init_store
"$BUILD/tavni-server" user add --store "$STORE" --id "$USER_ID" --name bob --account acme \
  --acckey-file "$KEYFILE" >/dev/null || fail "user add --acckey-file"
# The attackers' own account, its key given on standard input.
EVE_KEY=$E2E_TMP/eve.key
printf '%s\n' ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100 >"$EVE_KEY"
"$BUILD/tavni-server" user add --store "$STORE" --id 8 --name eve --account elsewhere \
  --acckey-file - <"$EVE_KEY" >/dev/null || fail "user add --acckey-file -"

# Few descriptors (so that hoarded files would exhaust them), a short log-in
# time and a small connection table.
cat >"$E2E_TMP/limited-server" <<EOF
#!/bin/sh
ulimit -n 256 || exit 1
exec "$BUILD/tavni-server" "\$@"
EOF
chmod +x "$E2E_TMP/limited-server"
rc=0
tavni_serve "$E2E_TMP/limited-server" "$STORE" "$E2E_TMP/server.out" --login-timeout 2 \
  --max-connections 24 --max-connections-per-address 4 || rc=$?
SERVER_PID=$TAVNI_SERVER_PID
[ "$rc" = 0 ] || fail "server did not start: $(cat "$E2E_TMP/server.out")"
PORT=$TAVNI_SERVER_PORT
echo "127.0.0.1:$PORT" >"$INSTALL/etc/hosts"
LOG=$E2E_TMP/server.out

SRC=$E2E_TMP/src
mkdir -p "$SRC/docs"
head -c 2500000 /dev/urandom >"$SRC/big.bin"
seq 1 20000 >"$SRC/docs/numbers.txt"
make_schedule "$INSTALL/h.tbs" --dest /1 --name hostile --src "$SRC"

backup_and_compare() { # round
  rm -f "$INSTALL/h.tbs.log"
  run_agent "$INSTALL/h.tbs"
  rm -rf "$E2E_TMP/out$1"
  restore "/1/Root$SRC" "$E2E_TMP/out$1" || fail "restore $1"
  diff -r "$SRC" "$E2E_TMP/out$1/src" || fail "round $1: the restore differs"
}

# --- round 1: silent sockets, a log-in flood and a wildcard bomb, all at once
"$HOSTILE" silent "$PORT" 127.0.0.2 12 >"$E2E_TMP/silent.out" 2>&1 &
ATTACKERS+=($!)
"$HOSTILE" flood "$PORT" 127.0.0.3 "$USER_ID" 3000 >"$E2E_TMP/flood.out" 2>&1 &
FLOOD=$!
"$HOSTILE" bomb "$PORT" 127.0.0.4 8 "$EVE_KEY" 20 >"$E2E_TMP/bomb.out" 2>&1 &
BOMB=$!
wait_log "$LOG" "refused: 4 connections from 127.0.0.2 are open"
wait_log "$LOG" "log-in of user 7 refused: the account key digest does not match"
backup_and_compare 1
wait "$BOMB" || fail "the wildcard bomb was not answered in time: $(cat "$E2E_TMP/bomb.out")"
wait "$FLOOD" || fail "flood client: $(cat "$E2E_TMP/flood.out")"
# Silent sockets are closed at the log-in deadline (and opened again).
wait_log "$LOG" "closed: no log-in within the log-in time"
stop_attackers
wrong=$(count_log "$LOG" "log-in of user 7 refused")
[ "$wrong" -le 60 ] || fail "$wrong wrong log-ins were answered: $(cat "$E2E_TMP/flood.out")"
expect_log "$LOG" "failed log-ins from 127.0.0.3"

# --- round 2: hoarded open files on a server of 256 descriptors, a mail of
# many parts; the agent's report mail goes through the same server.
"$HOSTILE" hoard "$PORT" 127.0.0.5 8 "$EVE_KEY" 3 >"$E2E_TMP/hoard.out" 2>&1 &
ATTACKERS+=($!)
wait_log "$E2E_TMP/hoard.out" "hoard: holding"
"$HOSTILE" mail "$PORT" 127.0.0.6 8 "$EVE_KEY" >"$E2E_TMP/mail.out" 2>&1 ||
  fail "mail of many parts: $(cat "$E2E_TMP/mail.out")"
head -c 1500000 /dev/urandom >"$SRC/docs/new.bin"
backup_and_compare 2
stop_attackers
expect_log "$LOG" "opening a file refused: user 8 holds 64 open files"

# One line for each connection, log-in and close.
grep -Eq "connection [0-9]+ from 127\.0\.0\.1:[0-9]+$" "$LOG" || fail "no connection line"
grep -Eq "connection [0-9]+ from 127\.0\.0\.1:[0-9]+: user 7 logged in$" "$LOG" || fail "no log-in line"
grep -Eq "connection [0-9]+ from 127\.0\.0\.1:[0-9]+ closed: " "$LOG" || fail "no close line"
echo "hostile_server: ok"

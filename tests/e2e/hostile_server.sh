#!/usr/bin/env bash
# Hostile peers against a real server while the real agent backs up: silent
# sockets from eight addresses (more than every slot of connections that have
# not logged in), a flood of wrong log-ins for the agent's own user and for
# users that do not exist, garbage key blocks, listings of a folder of 20,000
# entries held open by the hundred, and a listing filter built to make a
# matcher backtrack; then a client that hoards open files on a server with
# few descriptors, and a mail of many parts; then a stranger's reads of runs,
# folders and blocks. Each time the agent's backup
# restores byte for byte, the server's memory stays within its budget, and
# its log says what it refused and why. Every hostile load is bounded in count
# or killed at the end of its round.
source "$(dirname "$0")/lib/backup_env.sh"
HOSTILE=$BUILD/tavni_hostile_client
ATTACKERS=()
stop_attackers() {
  local p
  for p in "${ATTACKERS[@]}"; do kill "$p" 2>/dev/null && { wait "$p" 2>/dev/null || true; }; done
  ATTACKERS=()
}
trap 'stop_attackers; e2e_cleanup' EXIT
e2e_on_fail() {
  tail -25 "$INSTALL/h.tbs.log"
  grep -v "connection from\| ended before" "$LOG" | tail -20
}

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

rss_kib() { sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB$/\1/p' "/proc/$SERVER_PID/status"; }

# --- round 0: listings of a folder of 20,000 entries, 96 of them held open
# (they once read the whole folder each); the server's memory stays small.
RSS0=$(rss_kib)
"$HOSTILE" lister "$PORT" 127.0.0.20 8 "$EVE_KEY" 6 20000 >"$E2E_TMP/lister.out" 2>&1 &
ATTACKERS+=($!)
wait_log "$E2E_TMP/lister.out" "lister: holding 96 listings"
RSS1=$(rss_kib)
[ $((RSS1 - RSS0)) -lt 65536 ] ||
  fail "96 open listings took $(((RSS1 - RSS0) / 1024)) MiB of the server's memory"

# --- round 1: silent sockets from eight addresses, log-in floods, garbage key
# blocks and a wildcard bomb, all at once and with the listings still held
for n in 10 11 12 13 14 15 16 17; do
  "$HOSTILE" silent "$PORT" "127.0.0.$n" 8 >"$E2E_TMP/silent$n.out" 2>&1 &
  ATTACKERS+=($!)
done
"$HOSTILE" flood "$PORT" 127.0.0.3 "$USER_ID" 3000 >"$E2E_TMP/flood.out" 2>&1 &
FLOOD=$!
"$HOSTILE" flood "$PORT" 127.0.0.3 4242 1000 >"$E2E_TMP/flood-unknown.out" 2>&1 &
FLOOD2=$!
"$HOSTILE" garbage "$PORT" 127.0.0.7 2000 >"$E2E_TMP/garbage.out" 2>&1 &
GARBAGE=$!
"$HOSTILE" bomb "$PORT" 127.0.0.4 8 "$EVE_KEY" 20 >"$E2E_TMP/bomb.out" 2>&1 &
BOMB=$!
wait_log "$LOG" "refused: 4 connections from 127.0.0.10 are open"
wait_log "$LOG" "log-in of user 7 refused: the account key digest does not match"
backup_and_compare 1
[ $(($(rss_kib) - RSS0)) -lt 131072 ] || fail "the server's memory grew past its budget"
wait "$BOMB" || fail "the wildcard bomb was not answered in time: $(cat "$E2E_TMP/bomb.out")"
wait "$FLOOD" || fail "flood client: $(cat "$E2E_TMP/flood.out")"
wait "$FLOOD2" || fail "flood client: $(cat "$E2E_TMP/flood-unknown.out")"
wait "$GARBAGE" || fail "garbage client: $(cat "$E2E_TMP/garbage.out")"
# Silent sockets are closed soon (and opened again), in summary lines.
wait_log "$LOG" "127.0.0.10: "
grep -E "127\.0\.0\.1[0-7]: [0-9]+ connections? ended before the key exchange" "$LOG" | grep -q "sent nothing in time\|closed for newer ones" ||
  fail "no summary of the silent sockets"
stop_attackers
wrong=$(count_log "$LOG" "log-in of user 7 refused")
[ "$wrong" -le 60 ] || fail "$wrong wrong log-ins were logged one by one: $(cat "$E2E_TMP/flood.out")"
expect_log "$LOG" "log-in of user 7 refused while 127.0.0.3 waits"
expect_log "$LOG" "failed key exchanges from 127.0.0.7"
[ "$(grep -c "127.0.0.7: .* ended before the key exchange" "$LOG")" -le 3 ] ||
  fail "failed key exchanges were logged one by one"

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

# --- round 3: the control tool's reads as a stranger: refused before the
# log-in, for bob's block and bob's runs, past their page and piece limits,
# and a flood of block reads answered one by one while the agent backs up.
# A block of bob's big file: the stranger's own blocks are all small. Its
# name is read off the local store's folder; blocks kept in S3 (the shared
# back ends of the services stage) are not listed here, and the round runs
# on the local store of the Linux stage only.
if [ ! -d "$STORE/blocks" ]; then
  echo "hostile_server: round 3 (reads as a stranger) runs on a local block store only; blocks are in S3 here"
  echo "hostile_server: ok"
  exit 0
fi
VICTIM=$(find "$STORE/blocks" -path "$STORE/blocks/tmp" -prune -o -type f -size +100k -print |
  head -1)
[ -n "$VICTIM" ] || fail "no stored block of bob's"
RSS2=$(rss_kib)
"$HOSTILE" reader "$PORT" 127.0.0.8 8 "$EVE_KEY" "$(basename "$VICTIM")" 5000 \
  >"$E2E_TMP/reader.out" 2>&1 &
READER=$!
head -c 700000 /dev/urandom >"$SRC/docs/third.bin"
backup_and_compare 3
wait "$READER" || fail "reader: $(cat "$E2E_TMP/reader.out")"
expect_log "$E2E_TMP/reader.out" "reader: 5000 block reads answered"
[ $(($(rss_kib) - RSS2)) -lt 65536 ] || fail "block reads grew the server's memory"

# One line for each connection, log-in and close.
grep -Eq "connection [0-9]+ from 127\.0\.0\.1:[0-9]+$" "$LOG" || fail "no connection line"
grep -Eq "connection [0-9]+ from 127\.0\.0\.1:[0-9]+: user 7 logged in$" "$LOG" || fail "no log-in line"
grep -Eq "connection [0-9]+ from 127\.0\.0\.1:[0-9]+ closed: " "$LOG" || fail "no close line"
echo "hostile_server: ok"

#!/usr/bin/env bash
# Restore speed, run by ./run bench with the build folder as its argument:
# the generated 1 GiB tree (the backup bench's: 20,000 files, 1 KiB to 2 MiB,
# half text, half random) backed up once with the agent's default workers,
# then restored through tavni-ctl restore (blocks fetched over loopback,
# decrypted and inflated on this machine by its decoders) and through the
# server-side tavni-server restore (straight from the store), each into an
# empty folder and compared with the tree. Prints each one's MB/s, the
# ratios restore/backup and tavni-ctl/tavni-server, and each one's peak
# resident memory. BENCH_FILES and BENCH_BYTES lower the sizes.
set -euo pipefail
BUILD=$(cd "${1:?build folder}" && pwd)
ROOT=$(cd "$(dirname "$0")/.." && pwd)
FILES=${BENCH_FILES:-20000}
BYTES=${BENCH_BYTES:-1073741824}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/tavni-rbench.XXXXXX")
KEY=00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff
SERVER_PID=
cleanup() {
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc -l; }
# timed OUT COMMAND...: runs it, its peak resident memory (KiB, or n/a
# without /usr/bin/time) into OUT.rss and its seconds into OUT.s.
timed() {
  local out=$1 t0 t1
  shift
  echo n/a >"$out.rss"
  t0=$(now)
  if [ -x /usr/bin/time ]; then
    /usr/bin/time -v -o "$out.time" "$@" >"$out.log" 2>&1
    sed -n 's/.*Maximum resident set size (kbytes): //p' "$out.time" >"$out.rss"
  else
    "$@" >"$out.log" 2>&1
  fi
  t1=$(now)
  elapsed "$t0" "$t1" >"$out.s"
}

INST=$WORK/install
mkdir -p "$INST/etc"
"$BUILD/tavni-server" init --store "$WORK/store" >/dev/null
KEYFILE=$WORK/acckey
(umask 077 && printf '%s\n' "$KEY" >"$KEYFILE")
"$BUILD/tavni-server" user add --store "$WORK/store" --id 1 --name bench --account bench --acckey-file "$KEYFILE" >/dev/null
# shellcheck source=/dev/null
source "$ROOT/run.d/install.sh"
STARTED=0
tavni_serve "$BUILD/tavni-server" "$WORK/store" "$WORK/server.out" || STARTED=$?
SERVER_PID=$TAVNI_SERVER_PID
[ "$STARTED" = 0 ] || { cat "$WORK/server.out" >&2; exit 1; }
echo "127.0.0.1:$TAVNI_SERVER_PORT" >"$INST/etc/hosts"

echo "== restore of $FILES files, about $BYTES bytes ($(nproc) cores)"
python3 "$ROOT/bench/gen_tree.py" sized "$WORK/big" "$FILES" "$BYTES"
TOTAL=$(du -sb "$WORK/big" | cut -f1)
"$BUILD/tavni-ctl" schedule new --root "$INST" --user-id 1 --acckey-file "$KEYFILE" --dest /r --name r \
  --src "$WORK/big" "$INST/r.tbs" >/dev/null
sync
tries=0
while :; do
  # The agent's own job time: from its start to its end, job wait included
  # as tavni-ctl's and the server's times include their start.
  (cd "$INST" && timed "$WORK/backup" "$BUILD/tavni-backup" background "$INST/r.tbs")
  grep -q 'ipc_rx_setup(.*) failed' "$INST/agent.log" 2>/dev/null || break
  # The job mailslot is the machine's: another agent holds it.
  tries=$((tries + 1))
  [ "$tries" -lt 1500 ] || { echo "the job mailslot stayed taken" >&2; exit 1; }
  sleep 0.2
done
grep -q 'Backup job completed normally' "$INST/r.tbs.log" || { tail "$INST/r.tbs.log" >&2; exit 1; }
TOP=/r/Root$WORK/big
sync
timed "$WORK/ctl" "$BUILD/tavni-ctl" restore --schedule r.tbs --root "$INST" --to "$WORK/out-ctl" "$TOP"
diff -rq "$WORK/big" "$WORK/out-ctl/big" >/dev/null || { echo "tavni-ctl restore differs" >&2; exit 1; }
rm -rf "$WORK/out-ctl"
sync
timed "$WORK/srv" "$BUILD/tavni-server" restore --store "$WORK/store" --user 1 --acckey-file "$KEYFILE" \
  --to "$WORK/out-srv" "$TOP"
diff -rq "$WORK/big" "$WORK/out-srv/big" >/dev/null || { echo "tavni-server restore differs" >&2; exit 1; }
rm -rf "$WORK/out-srv"

rate() { echo "$TOTAL / $(cat "$1.s") / 1000000" | bc -l; }
B=$(rate "$WORK/backup")
C=$(rate "$WORK/ctl")
S=$(rate "$WORK/srv")
printf 'backup (agent, default workers): %.2f s = %.1f MB/s, peak RSS %s KiB\n' "$(cat "$WORK/backup.s")" "$B" "$(cat "$WORK/backup.rss")"
printf 'tavni-ctl restore:               %.2f s = %.1f MB/s, peak RSS %s KiB\n' "$(cat "$WORK/ctl.s")" "$C" "$(cat "$WORK/ctl.rss")"
printf 'tavni-server restore:            %.2f s = %.1f MB/s, peak RSS %s KiB\n' "$(cat "$WORK/srv.s")" "$S" "$(cat "$WORK/srv.rss")"
printf 'ratio tavni-ctl restore/backup: %.2f; tavni-ctl/tavni-server restore: %.2f\n' \
  "$(echo "$C / $B" | bc -l)" "$(echo "$C / $S" | bc -l)"

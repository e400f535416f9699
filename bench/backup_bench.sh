#!/usr/bin/env bash
# Whole-run benchmarks of the agent against a loopback tavni-server, run by
# ./run bench with the build folder as its argument:
#  1. full backup of a generated 1 GiB tree (20,000 files, 1 KiB to 2 MiB,
#     half text, half random), in MB/s, with one block worker and with the
#     default number (the cores, at most 8), each into a fresh store, next to
#     the single-core ceiling of the same bytes through MD5, zlib 9,
#     AES-256-CBC, frame encryption and CRC, as ratios of the ceiling (and of
#     the ceiling times the workers);
#  2. a no-change rerun of 200,000 small files in 200 folders (counting pass
#     included), in files per second and peak resident memory, next to
#     rsync -a --dry-run of the same tree (the better of two runs each, and
#     their ratio); then the peak memory of the no-change rerun of 1,000,000
#     files in 1,000 folders;
#  3. the bytes on the wire (the data writes' payloads, from the server's
#     request trace) and the blocks the server stores for a one-block change
#     in a five-block file.
# Sizes can be lowered for a quick look: BENCH_FILES, BENCH_BYTES, BENCH_SMALL,
# BENCH_HUGE (0 leaves the million-file run out).
set -euo pipefail
BUILD=$(cd "${1:?build folder}" && pwd)
ROOT=$(cd "$(dirname "$0")/.." && pwd)
FILES=${BENCH_FILES:-20000}
BYTES=${BENCH_BYTES:-1073741824}
SMALL=${BENCH_SMALL:-200000}
HUGE=${BENCH_HUGE:-1000000}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/tavni-bench.XXXXXX")
KEY=00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff
SERVER_PID=
OWN_PID= # a section's own server (serve_own)
cleanup() {
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null
  [ -n "$OWN_PID" ] && kill "$OWN_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
now() { date +%s.%N; }
# Seconds between the first line holding START and the last holding END in a job log.
log_span() {
  python3 - "$1" "$2" "$3" <<'PY'
import sys, datetime
path, start, end = sys.argv[1:4]
t0 = t1 = None
for line in open(path, errors="replace"):
    if "] " not in line:
        continue
    stamp = line.split("] ", 1)[0]
    try:
        t = datetime.datetime.strptime(stamp[:19], "%Y-%m-%d %H:%M:%S").timestamp() + int(stamp[20:24]) / 1000
    except ValueError:
        continue
    if start in line and t0 is None:
        t0 = t
    if end in line:
        t1 = t
print("%.3f" % ((t1 or 0) - (t0 or 0)))
PY
}
elapsed() { echo "$2 - $1" | bc -l; }

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
MAIN_PORT=$TAVNI_SERVER_PORT
echo "127.0.0.1:$MAIN_PORT" >"$INST/etc/hosts"

# serve_own STORE [serve options...]: STORE (made with the bench user when
# new) served by a server of its own that the agent backs up to until own_done.
serve_own() {
  local store=$1 ok=0
  shift
  if [ ! -d "$store" ]; then
    "$BUILD/tavni-server" init --store "$store" >/dev/null
    "$BUILD/tavni-server" user add --store "$store" --id 1 --name bench --account bench --acckey-file "$KEYFILE" >/dev/null
  fi
  tavni_serve "$BUILD/tavni-server" "$store" "$store.out" "$@" || ok=$?
  OWN_PID=$TAVNI_SERVER_PID
  [ "$ok" = 0 ] || { cat "$store.out" >&2; exit 1; }
  echo "127.0.0.1:$TAVNI_SERVER_PORT" >"$INST/etc/hosts"
}
# Stops the own server (its trace then holds every request) and points the
# agent at the main server again.
own_done() {
  kill "$OWN_PID" && wait "$OWN_PID" || true
  OWN_PID=
  echo "127.0.0.1:$MAIN_PORT" >"$INST/etc/hosts"
}

# backup NAME SOURCE -> seconds; the job's peak resident memory (KiB, or
# n/a without /usr/bin/time) goes to $WORK/rss.txt. The schedule is made the
# first time; a later job of the same name runs it again.
backup() {
  [ -f "$INST/$1.tbs" ] ||
    "$BUILD/tavni-ctl" schedule new --root "$INST" --user-id 1 --acckey-file "$KEYFILE" --dest "/$1" --name "$1" \
      --src "$2" "$INST/$1.tbs" >/dev/null
  local t0 t1
  t0=$(now)
  local tries=0
  local timed=()
  [ -x /usr/bin/time ] && timed=(/usr/bin/time -f '%M' -o "$WORK/rss.txt")
  echo n/a >"$WORK/rss.txt"
  while :; do
    (cd "$INST" && "${timed[@]}" "$BUILD/tavni-backup" background "$INST/$1.tbs" 2>/dev/null) || true
    grep -q 'ipc_rx_setup(.*) failed' "$INST/agent.log" 2>/dev/null || break
    # The job mailslot is the machine's: another agent holds it; run again
    # once it has ended (the job's time comes from its own log).
    tries=$((tries + 1))
    [ "$tries" -lt 1500 ] || { echo "the job mailslot stayed taken" >&2; exit 1; }
    sleep 0.2
  done
  t1=$(now)
  if [ ! -f "$INST/$1.tbs.log" ]; then
    echo "the job did not run; agent.log:" >&2
    cat "$INST/agent.log" >&2
    exit 1
  fi
  # The job's own time, from its log: the agent's fixed job wait is left out.
  log_span "$INST/$1.tbs.log" "Initialized log file" "Logged out user."
}

echo "== machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"

echo "== 1. full backup of $FILES files, about $BYTES bytes"
python3 "$ROOT/bench/gen_tree.py" sized "$WORK/big" "$FILES" "$BYTES"
TOTAL=$(du -sb "$WORK/big" | cut -f1)
sync
"$BUILD/bench_pipeline_ceiling" "$WORK/big" | tee "$WORK/ceiling.txt"
CEIL=$(sed -n 's/.*= \([0-9.]*\) MB\/s.*/\1/p' "$WORK/ceiling.txt")
CORES=$(nproc)
WORKERS=$((CORES < 8 ? CORES : 8))
# full_backup NAME [WORKERS]: the tree into a fresh store with that many
# block workers (none given: the agent's default); prints its line.
full_backup() {
  local name=$1 n=${2:-} s rate label
  label="default ($WORKERS workers)"
  [ -z "$n" ] || label="$n worker(s)"
  serve_own "$WORK/store-$name"
  s=$(if [ -n "$n" ]; then export TAVNI_BACKUP_WORKERS=$n; else unset TAVNI_BACKUP_WORKERS; fi
    backup "$name" "$WORK/big")
  own_done
  rm -rf "$WORK/store-$name"
  rate=$(echo "$TOTAL / $s / 1000000" | bc -l)
  printf 'backup, %s: %s bytes in %.2f s = %.1f MB/s; ceiling %.1f MB/s; ratio full/ceiling: %.2f; peak RSS %s KiB\n' \
    "$label" "$TOTAL" "$s" "$rate" "$CEIL" \
    "$(echo "$rate / $CEIL" | bc -l)" "$(cat "$WORK/rss.txt")"
  if [ -z "$n" ] && [ "$CORES" -gt 1 ]; then
    printf 'ratio full/(ceiling x workers): %.2f\n' "$(echo "$rate / ($CEIL * $WORKERS)" | bc -l)"
  fi
  grep -c 'FILE: Successfully backed up' "$INST/$name.tbs.log" | sed 's/^/files sent: /'
}
full_backup big1 1
full_backup big
rm -rf "$WORK/big"

echo "== 2. no-change rerun of $SMALL small files, next to rsync; peak memory at $SMALL and $HUGE files"
# no_change NAME FILES FOLDERS [index]: generates the tree, backs it up once,
# then times the no-change rerun twice (the better run counts); sets
# NC_SECONDS and NC_RSS (KiB, or n/a without /usr/bin/time). The tree stays
# for rsync. With "index" the first run backs up the folder still empty and
# the change index it leaves is then rewritten from the whole tree (the same
# bytes a first run leaves): sending a million files first takes an hour.
no_change() {
  local name=$1 files=$2 folders=$3 run s best= rss=n/a
  python3 "$ROOT/bench/gen_tree.py" small "$WORK/$name" "$files" "$folders"
  if [ "${4:-}" = index ]; then
    mv "$WORK/$name" "$WORK/$name.tree"
    mkdir "$WORK/$name"
    s=$(backup "$name" "$WORK/$name")
    rmdir "$WORK/$name"
    mv "$WORK/$name.tree" "$WORK/$name"
    python3 "$ROOT/bench/gen_tree.py" index "$WORK/$name" "$INST/$name.fci"
  else
    s=$(backup "$name" "$WORK/$name")
  fi
  printf 'first run: %.2f s\n' "$s"
  for run in 1 2; do
    if [ -x /usr/bin/time ]; then
      (cd "$INST" && /usr/bin/time -f '%M' -o "$WORK/rss.txt" "$BUILD/tavni-backup" background "$INST/$name.tbs" 2>/dev/null)
      rss=$(cat "$WORK/rss.txt")
    else
      (cd "$INST" && "$BUILD/tavni-backup" background "$INST/$name.tbs" 2>/dev/null)
    fi
    s=$(log_span "$INST/$name.tbs.log" "Initialized log file" "Logged out user.")
    if [ -z "$best" ] || [ "$(echo "$s < $best" | bc -l)" = 1 ]; then best=$s; fi
  done
  grep -c 'FILE: Current; Not backing up' "$INST/$name.tbs.log" | sed 's/^/files current by the change index: /'
  NC_SECONDS=$best
  NC_RSS=$rss
}
no_change small "$SMALL" 200
printf 'no-change rerun: %.2f s = %.0f files/s, peak RSS %s KiB\n' "$NC_SECONDS" "$(echo "$SMALL / $NC_SECONDS" | bc -l)" "$NC_RSS"
cp -a "$WORK/small" "$WORK/small-copy"
S3=
for run in 1 2; do
  T0=$(now); rsync -a --dry-run "$WORK/small/" "$WORK/small-copy/"; T1=$(now)
  S=$(elapsed "$T0" "$T1")
  if [ -z "$S3" ] || [ "$(echo "$S < $S3" | bc -l)" = 1 ]; then S3=$S; fi
done
printf 'rsync -a --dry-run: %.2f s = %.0f files/s\n' "$S3" "$(echo "$SMALL / $S3" | bc -l)"
printf 'ratio no-change/rsync: %.2f\n' "$(echo "$S3 / $NC_SECONDS" | bc -l)"
rm -rf "$WORK/small" "$WORK/small-copy"
if [ "$HUGE" -gt 0 ]; then
  echo "-- no-change rerun of $HUGE small files (peak memory)"
  no_change huge "$HUGE" $(((HUGE + 999) / 1000)) index
  printf 'no-change rerun: %.2f s = %.0f files/s, peak RSS %s KiB\n' "$NC_SECONDS" "$(echo "$HUGE / $NC_SECONDS" | bc -l)" "$NC_RSS"
  rm -rf "$WORK/huge"
fi

echo "== 3. one-block change in a five-block file"
mkdir -p "$WORK/five"
head -c $((5 * 1048576)) /dev/urandom >"$WORK/five/f.bin"
serve_own "$WORK/store-five"
backup five "$WORK/five" >/dev/null
own_done
printf 'x' | dd of="$WORK/five/f.bin" bs=1 seek=$((2 * 1048576 + 5)) conv=notrunc status=none
touch -d '2031-01-01' "$WORK/five/f.bin"
B0=$(find "$WORK/store-five/blocks" -type f | wc -l)
# The changed run alone under a tracing server: its data writes' payloads
# are the block bytes on the wire.
serve_own "$WORK/store-five" --trace "$WORK/five.trace"
backup five "$WORK/five" >/dev/null
own_done
B1=$(find "$WORK/store-five/blocks" -type f | wc -l)
echo "new block files stored by the server: $((B1 - B0)) (of 5)"
SENT=$(sed -n 's/.* write(12) .* wtype=8 len=\([0-9]*\) .*/\1/p' "$WORK/five.trace" | awk '{s += $1} END {print s + 0}')
BLOCK=1048576
# At most one block through deflate's worst case and one cipher block of padding.
ONE_MAX=$((BLOCK + BLOCK / 4096 + BLOCK / 16384 + BLOCK / 33554432 + 13 + 16))
echo "bytes on the wire (block data) for the changed block: $SENT (block size $BLOCK)"
if [ "$SENT" -gt 0 ] && [ "$SENT" -le "$ONE_MAX" ]; then ONE=yes; else ONE=no; fi
echo "one block's payload: $ONE"

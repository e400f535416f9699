#!/usr/bin/env bash
# Whole-run benchmarks of the agent against a loopback tavni-server, run by
# ./run bench with the build folder as its argument:
#  1. full backup of a generated 1 GiB tree (20,000 files, 1 KiB to 2 MiB,
#     half text, half random), in MB/s, with one block worker and with the
#     default number (the cores, at most 8), each into a fresh store, next to
#     the single-core ceiling of the same bytes through MD5, zlib 9,
#     AES-256-CBC, frame encryption and CRC, as ratios of the ceiling (and of
#     the ceiling times the workers);
#  2. 200,000 small files in 200 folders: the first run, in files per
#     second, next to rsync -a of the same tree into an empty local folder
#     (the ceiling no network backup beats) and to the server alone taking
#     small files (bench_server_bench's BM_SmallFiles: 20,000 versions, each
#     made durable, on one connection and on two), as ratios of each; then
#     the no-change rerun (counting pass included), in files per second and
#     peak resident memory, next to rsync -a --dry-run of the same tree (the
#     better of two runs each, and their ratio); then the time and peak
#     memory of the no-change rerun of 1,000,000 files in 1,000 folders,
#     every one of them current by a change index written from the tree;
#  3. the bytes on the wire (the data writes' payloads, from the server's
#     request trace) and the blocks the server stores for a one-block change
#     in a five-block file.
# A step that gives no figure (a job that did not run to its end, files not
# sent or not found current, a rate that is missing) ends the bench with
# "FAILED:", what went wrong and the tail of the job's log, and status 1.
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
SERVER_OUT=$WORK/server.out # the output of the server the agent backs up to
cleanup() {
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null
  [ -n "$OWN_PID" ] && kill "$OWN_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
now() { date +%s.%N; }
# fail WHAT [JOB]: a step gave no figure. Says WHAT went wrong; for a job,
# with its log's lines on the change index and its last lines (or those of
# agent.log when the job left no log) and the last lines of the server's
# output. Ends the bench with status 1.
fail() {
  local log=$INST/${2:-}.tbs.log
  echo "FAILED: $1" >&2
  if [ -n "${2:-}" ] && [ -s "$log" ]; then
    echo "-- $2.tbs.log, on the change index:" >&2
    grep -m 5 'FCI' "$log" >&2 || true
    echo "-- $2.tbs.log, last lines:" >&2
    tail -n 15 "$log" >&2
  elif [ -n "${2:-}" ] && [ -s "$INST/agent.log" ]; then
    echo "-- agent.log, last lines:" >&2
    tail -n 15 "$INST/agent.log" >&2
  fi
  if [ -n "${2:-}" ] && [ -s "$SERVER_OUT" ]; then
    echo "-- server output, last lines:" >&2
    tail -n 8 "$SERVER_OUT" >&2
  fi
  exit 1
}
# count_lines PATTERN FILE: how many lines of FILE hold PATTERN (0 for none).
count_lines() { grep -c -- "$1" "$2" || true; }
# count_sent NAME: the files job NAME's log shows sent, each once (a file
# whose close a lost connection left unconfirmed is sent again).
count_sent() {
  sed -n "s/.*FILE: Successfully backed up //p" "$INST/$1.tbs.log" | sort -u | wc -l
}
# Seconds between the first line holding START and the last holding END in a
# job log; nothing, and status 1, when either is missing.
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
if t0 is None or t1 is None:
    sys.exit(1)
print("%.3f" % (t1 - t0))
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
  SERVER_OUT=$store.out
  [ "$ok" = 0 ] || { cat "$store.out" >&2; exit 1; }
  echo "127.0.0.1:$TAVNI_SERVER_PORT" >"$INST/etc/hosts"
}
# Stops the own server (its trace then holds every request) and points the
# agent at the main server again.
own_done() {
  if kill "$OWN_PID"; then wait "$OWN_PID" || true; fi
  OWN_PID=
  SERVER_OUT=$WORK/server.out
  echo "127.0.0.1:$MAIN_PORT" >"$INST/etc/hosts"
}

# run_job NAME -> seconds: runs the schedule NAME once; its time is the
# job's own, from its log (the agent's fixed job wait is left out). The job's
# peak resident memory (KiB, or n/a without /usr/bin/time) goes to
# $WORK/rss.txt. A job that did not run to its log-out ends the bench.
run_job() {
  local tries=0 s
  local timed=()
  [ -x /usr/bin/time ] && timed=(/usr/bin/time -f '%M' -o "$WORK/rss.txt")
  echo n/a >"$WORK/rss.txt"
  # A job that does not run leaves no log, rather than the last one's.
  rm -f "$INST/$1.tbs.log"
  while :; do
    (cd "$INST" && "${timed[@]}" "$BUILD/tavni-backup" background "$INST/$1.tbs" 2>/dev/null) || true
    grep -q 'ipc_rx_setup(.*) failed' "$INST/agent.log" 2>/dev/null || break
    # The job mailslot is the machine's: another agent holds it; run again
    # once it has ended.
    tries=$((tries + 1))
    [ "$tries" -lt 1500 ] || fail "the job mailslot stayed taken" "$1"
    sleep 0.2
  done
  # /usr/bin/time puts a line on a non-zero exit status before the figure.
  tail -n 1 "$WORK/rss.txt" >"$WORK/rss.last" && mv "$WORK/rss.last" "$WORK/rss.txt"
  [ -f "$INST/$1.tbs.log" ] || fail "job $1 did not run" "$1"
  s=$(log_span "$INST/$1.tbs.log" "Initialized log file" "Logged out user.") ||
    fail "job $1 did not run to its log-out" "$1"
  echo "$s"
}

# backup NAME SOURCE -> seconds, as run_job. The schedule is made the first
# time; a later job of the same name runs it again.
backup() {
  [ -f "$INST/$1.tbs" ] ||
    "$BUILD/tavni-ctl" schedule new --root "$INST" --user-id 1 --acckey-file "$KEYFILE" --dest "/$1" --name "$1" \
      --src "$2" "$INST/$1.tbs" >/dev/null
  run_job "$1"
}

# index_stamp NAME: the stamp in the header of job NAME's change index; 0
# when there is no index or it vouches for nothing (the server did not
# confirm the job's end).
index_stamp() {
  if [ -s "$INST/$1.fci" ]; then od -An -t d4 -j 4 -N 4 "$INST/$1.fci" | tr -d ' '; else echo 0; fi
}
# vouched NAME: runs job NAME again, untimed, until its change index carries
# a stamp, at most twice. A server still making a large run durable (or
# held up by the disk) can answer the release later than the agent waits for
# it; the index then vouches for nothing and the next run checks every file
# with the server.
vouched() {
  local tries=0
  while [ "$(index_stamp "$1")" = 0 ]; do
    tries=$((tries + 1))
    [ "$tries" -le 2 ] || fail "job $1 left no stamped change index: the server did not confirm its end" "$1"
    echo "job $1 left no stamped change index (the server did not confirm its end in time); running it again"
    run_job "$1" >/dev/null
  done
}

echo "== machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"

echo "== 1. full backup of $FILES files, about $BYTES bytes"
python3 "$ROOT/bench/gen_tree.py" sized "$WORK/big" "$FILES" "$BYTES"
TOTAL=$(du -sb "$WORK/big" | cut -f1)
sync
"$BUILD/bench_pipeline_ceiling" "$WORK/big" | tee "$WORK/ceiling.txt" || fail "bench_pipeline_ceiling ended with an error"
CEIL=$(sed -n 's/.*= \([0-9.]*\) MB\/s.*/\1/p' "$WORK/ceiling.txt")
[ -n "$CEIL" ] || fail "bench_pipeline_ceiling printed no rate"
CORES=$(nproc)
WORKERS=$((CORES < 8 ? CORES : 8))
# full_backup NAME [WORKERS]: the tree into a fresh store with that many
# block workers (none given: the agent's default); prints its line. Every
# file must have been sent.
full_backup() {
  local name=$1 n=${2:-} s rate label sent
  label="default ($WORKERS workers)"
  [ -z "$n" ] || label="$n worker(s)"
  serve_own "$WORK/store-$name"
  s=$(if [ -n "$n" ]; then export TAVNI_BACKUP_WORKERS=$n; else unset TAVNI_BACKUP_WORKERS; fi
    backup "$name" "$WORK/big") || exit 1
  sent=$(count_sent "$name")
  [ "$sent" = "$FILES" ] || fail "full backup, $label: $sent of $FILES files sent" "$name"
  own_done
  rm -rf "$WORK/store-$name"
  rate=$(echo "$TOTAL / $s / 1000000" | bc -l)
  printf 'backup, %s: %s bytes in %.2f s = %.1f MB/s; ceiling %.1f MB/s; ratio full/ceiling: %.2f; peak RSS %s KiB\n' \
    "$label" "$TOTAL" "$s" "$rate" "$CEIL" \
    "$(echo "$rate / $CEIL" | bc -l)" "$(cat "$WORK/rss.txt")"
  if [ -z "$n" ] && [ "$CORES" -gt 1 ]; then
    printf 'ratio full/(ceiling x workers): %.2f\n' "$(echo "$rate / ($CEIL * $WORKERS)" | bc -l)"
  fi
  echo "files sent: $sent"
}
full_backup big1 1
full_backup big
rm -rf "$WORK/big"

echo "== 2. $SMALL small files: the first run next to rsync -a and the server alone; the no-change rerun next to rsync; at $HUGE files"
# no_change NAME FILES FOLDERS [index]: generates the tree (written out to
# the disk before any job runs), backs it up once (every file must be sent;
# then again, untimed, while the change index vouches for nothing: vouched),
# then times the no-change rerun twice (the better run counts; each must find
# every file current by the change index);
# sets NC_FIRST (the first run's seconds), NC_SECONDS and NC_RSS (KiB, or n/a
# without /usr/bin/time). The tree stays for rsync. With "index" the first
# run backs up the folder still empty and the change index it leaves is then
# rewritten from the whole tree (the same bytes a first run leaves): sending
# a million files first takes an hour.
no_change() {
  local name=$1 files=$2 folders=$3 run s best='' rss=n/a sent current
  python3 "$ROOT/bench/gen_tree.py" small "$WORK/$name" "$files" "$folders"
  sync
  if [ "${4:-}" = index ]; then
    mv "$WORK/$name" "$WORK/$name.tree"
    mkdir "$WORK/$name"
    NC_FIRST=$(backup "$name" "$WORK/$name") || exit 1
    vouched "$name"
    rmdir "$WORK/$name"
    mv "$WORK/$name.tree" "$WORK/$name"
    python3 "$ROOT/bench/gen_tree.py" index "$WORK/$name" "$INST/$name.fci" ||
      fail "no change index could be written from the tree $name" "$name"
    printf 'first run (the folder still empty, the change index then written from the tree): %.2f s\n' "$NC_FIRST"
  else
    NC_FIRST=$(backup "$name" "$WORK/$name") || exit 1
    sent=$(count_sent "$name")
    [ "$sent" = "$files" ] || fail "first run of $name: $sent of $files files sent" "$name"
    printf 'first run: %.2f s = %.0f files/s\n' "$NC_FIRST" "$(echo "$files / $NC_FIRST" | bc -l)"
    vouched "$name"
  fi
  for run in 1 2; do
    s=$(run_job "$name") || exit 1
    rss=$(cat "$WORK/rss.txt")
    current=$(count_lines 'FILE: Current; Not backing up' "$INST/$name.tbs.log")
    [ "$current" = "$files" ] ||
      fail "no-change rerun $run of $name: $current of $files files current by the change index ($(count_sent "$name") sent)" "$name"
    if [ -z "$best" ] || [ "$(echo "$s < $best" | bc -l)" = 1 ]; then best=$s; fi
  done
  echo "files current by the change index: $current"
  NC_SECONDS=$best
  NC_RSS=$rss
}

# server_alone: the server alone taking small files, from bench_server_bench's
# BM_SmallFiles (versions of 200 bytes, each made durable; one connection and
# two). Prints one line per connection count and leaves "CONNECTIONS RATE"
# lines in $WORK/server-alone.txt. Every version must have become durable.
server_alone() {
  local out=$WORK/server-alone
  [ -x "$BUILD/bench_server_bench" ] || fail "$BUILD/bench_server_bench is not built"
  "$BUILD/bench_server_bench" --benchmark_filter='^BM_SmallFiles/' --benchmark_format=json \
    >"$out.json" 2>"$out.err" ||
    { tail -n 15 "$out.err" >&2; fail "bench_server_bench BM_SmallFiles ended with an error"; }
  python3 - "$out.json" >"$out.txt" <<'PY' || { tail -n 15 "$out.err" >&2; fail "BM_SmallFiles gave no rate"; }
import json, sys
rows = [b for b in json.load(open(sys.argv[1]))["benchmarks"] if b["name"].startswith("BM_SmallFiles/")]
if not rows:
    sys.exit("BM_SmallFiles: no results")
scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
for b in rows:
    conns = b["name"].split("/")[1]
    if b.get("error_occurred"):
        sys.exit("BM_SmallFiles/%s: %s" % (conns, b.get("error_message", "failed")))
    rate = b.get("items_per_second", 0)
    files = rate * b["real_time"] * scale[b["time_unit"]] * b.get("iterations", 1)
    # The rate counts the versions sent; it holds only when all are durable.
    if rate <= 0 or abs(b.get("versions", 0) - files) > 0.5:
        sys.exit("BM_SmallFiles/%s: %d of %.0f versions durable" % (conns, b.get("versions", 0), files))
    print(conns, "%.3f" % rate, "%.0f" % files)
PY
  local conns rate versions
  while read -r conns rate versions; do
    printf 'server alone (BM_SmallFiles, %s versions, each made durable), %s connection(s): %.0f versions/s\n' \
      "$versions" "$conns" "$rate"
  done <"$out.txt"
}

no_change small "$SMALL" 200
FIRST_RATE=$(echo "$SMALL / $NC_FIRST" | bc -l)
printf 'no-change rerun: %.2f s = %.0f files/s, peak RSS %s KiB\n' "$NC_SECONDS" "$(echo "$SMALL / $NC_SECONDS" | bc -l)" "$NC_RSS"
# The local copy of the same tree: the ceiling no network backup beats. It
# is then the other side of the dry runs.
mkdir "$WORK/small-copy"
T0=$(now); rsync -a "$WORK/small/" "$WORK/small-copy/" || fail "rsync -a ended with an error"; T1=$(now)
COPIED=$(find "$WORK/small-copy" -type f | wc -l)
[ "$COPIED" = "$SMALL" ] || fail "rsync -a copied $COPIED of $SMALL files"
COPY_RATE=$(echo "$SMALL / $(elapsed "$T0" "$T1")" | bc -l)
printf 'rsync -a into an empty folder: %.2f s = %.0f files/s\n' "$(elapsed "$T0" "$T1")" "$COPY_RATE"
S3=
for run in 1 2; do
  T0=$(now); rsync -a --dry-run "$WORK/small/" "$WORK/small-copy/" || fail "rsync -a --dry-run ended with an error"; T1=$(now)
  S=$(elapsed "$T0" "$T1")
  if [ -z "$S3" ] || [ "$(echo "$S < $S3" | bc -l)" = 1 ]; then S3=$S; fi
done
printf 'rsync -a --dry-run: %.2f s = %.0f files/s\n' "$S3" "$(echo "$SMALL / $S3" | bc -l)"
printf 'ratio no-change/rsync: %.2f\n' "$(echo "$S3 / $NC_SECONDS" | bc -l)"
rm -rf "$WORK/small" "$WORK/small-copy"
server_alone
printf 'ratio first-run/rsync -a: %.2f\n' "$(echo "$FIRST_RATE / $COPY_RATE" | bc -l)"
while read -r CONNS RATE _; do
  printf 'ratio first-run/server alone, %s connection(s): %.2f\n' "$CONNS" "$(echo "$FIRST_RATE / $RATE" | bc -l)"
done <"$WORK/server-alone.txt"
if [ "$HUGE" -gt 0 ]; then
  echo "-- no-change rerun of $HUGE small files (time and peak memory)"
  no_change huge "$HUGE" $(((HUGE + 999) / 1000)) index
  printf 'no-change rerun: %.2f s = %.0f files/s, peak RSS %s KiB\n' "$NC_SECONDS" "$(echo "$HUGE / $NC_SECONDS" | bc -l)" "$NC_RSS"
  rm -rf "$WORK/huge"
fi

echo "== 3. one-block change in a five-block file"
mkdir -p "$WORK/five"
head -c $((5 * 1048576)) /dev/urandom >"$WORK/five/f.bin"
serve_own "$WORK/store-five"
backup five "$WORK/five" >/dev/null
[ "$(count_lines 'FILE: Successfully backed up' "$INST/five.tbs.log")" = 1 ] ||
  fail "the five-block file was not sent" five
own_done
printf 'x' | dd of="$WORK/five/f.bin" bs=1 seek=$((2 * 1048576 + 5)) conv=notrunc status=none
touch -d '2031-01-01' "$WORK/five/f.bin"
B0=$(find "$WORK/store-five/blocks" -type f | wc -l)
# The changed run alone under a tracing server: its data writes' payloads
# are the block bytes on the wire.
serve_own "$WORK/store-five" --trace "$WORK/five.trace"
backup five "$WORK/five" >/dev/null
[ "$(count_lines 'FILE: Successfully backed up' "$INST/five.tbs.log")" = 1 ] ||
  fail "the changed five-block file was not sent" five
own_done
[ -s "$WORK/five.trace" ] || fail "the server left no request trace"
B1=$(find "$WORK/store-five/blocks" -type f | wc -l)
echo "new block files stored by the server: $((B1 - B0)) (of 5)"
SENT=$(sed -n 's/.* write(12) .* wtype=8 len=\([0-9]*\) .*/\1/p' "$WORK/five.trace" | awk '{s += $1} END {print s + 0}')
[ "$SENT" -gt 0 ] || fail "the request trace shows no block data written for the changed block" five
BLOCK=1048576
# At most one block through deflate's worst case and one cipher block of padding.
ONE_MAX=$((BLOCK + BLOCK / 4096 + BLOCK / 16384 + BLOCK / 33554432 + 13 + 16))
echo "bytes on the wire (block data) for the changed block: $SENT (block size $BLOCK)"
if [ "$SENT" -gt 0 ] && [ "$SENT" -le "$ONE_MAX" ]; then ONE=yes; else ONE=no; fi
echo "one block's payload: $ONE"

#!/usr/bin/env bash
# Whole-run benchmarks of the agent against a loopback tavni-server, run by
# ./run bench with the build folder as its argument:
#  1. full backup of a generated 1 GiB tree (20,000 files, 1 KiB to 2 MiB,
#     half text, half random), in MB/s, next to the single-core ceiling of
#     the same bytes through MD5, zlib 9, AES-256-CBC, frame encryption and CRC;
#  2. a no-change rerun of 200,000 small files in 200 folders (counting pass
#     included), in files per second and peak resident memory, next to
#     rsync -a --dry-run of the same tree;
#  3. the blocks the server stores for a one-block change in a five-block file.
# Sizes can be lowered for a quick look: BENCH_FILES, BENCH_BYTES, BENCH_SMALL.
set -euo pipefail
BUILD=$(cd "${1:?build folder}" && pwd)
ROOT=$(cd "$(dirname "$0")/.." && pwd)
FILES=${BENCH_FILES:-20000}
BYTES=${BENCH_BYTES:-1073741824}
SMALL=${BENCH_SMALL:-200000}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/tavni-bench.XXXXXX")
KEY=00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff
SERVER_PID=
cleanup() { [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null; rm -rf "$WORK"; }
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
echo "127.0.0.1:$TAVNI_SERVER_PORT" >"$INST/etc/hosts"

backup() { # schedule-name source -> seconds
  "$BUILD/tavni-ctl" schedule new --root "$INST" --user-id 1 --acckey-file "$KEYFILE" --dest "/$1" --name "$1" \
    --src "$2" "$INST/$1.tbs" >/dev/null
  local t0 t1
  t0=$(now)
  (cd "$INST" && "$BUILD/tavni-backup" background "$INST/$1.tbs" 2>/dev/null)
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
S=$(backup big "$WORK/big")
RATE=$(echo "$TOTAL / $S / 1000000" | bc -l)
CEIL=$(sed -n 's/.*= \([0-9.]*\) MB\/s.*/\1/p' "$WORK/ceiling.txt")
printf 'backup: %s bytes in %.2f s = %.1f MB/s; ceiling %.1f MB/s; ratio %.2f\n' "$TOTAL" "$S" "$RATE" "$CEIL" \
  "$(echo "$RATE / $CEIL" | bc -l)"
grep -c 'FILE: Successfully backed up' "$INST/big.tbs.log" | sed 's/^/files sent: /'
rm -rf "$WORK/big"

echo "== 2. no-change rerun of $SMALL small files"
python3 "$ROOT/bench/gen_tree.py" small "$WORK/small" "$SMALL" 200
S1=$(backup small "$WORK/small")
printf 'first run: %.2f s\n' "$S1"
if [ -x /usr/bin/time ]; then
  (cd "$INST" && /usr/bin/time -f '%M' -o "$WORK/rss.txt" "$BUILD/tavni-backup" background "$INST/small.tbs" 2>/dev/null)
else
  (cd "$INST" && "$BUILD/tavni-backup" background "$INST/small.tbs" 2>/dev/null)
fi
S2=$(log_span "$INST/small.tbs.log" "Initialized log file" "Logged out user.")
printf 'no-change rerun: %.2f s = %.0f files/s' "$S2" "$(echo "$SMALL / $S2" | bc -l)"
[ -f "$WORK/rss.txt" ] && printf ', peak RSS %s KiB' "$(cat "$WORK/rss.txt")"
echo
grep -c 'FILE: Current; Not backing up' "$INST/small.tbs.log" | sed 's/^/files current by the change index: /'
cp -a "$WORK/small" "$WORK/small-copy"
T0=$(now); rsync -a --dry-run "$WORK/small/" "$WORK/small-copy/"; T1=$(now)
S3=$(elapsed "$T0" "$T1")
printf 'rsync -a --dry-run: %.2f s = %.0f files/s\n' "$S3" "$(echo "$SMALL / $S3" | bc -l)"
rm -rf "$WORK/small" "$WORK/small-copy"

echo "== 3. one-block change in a five-block file"
mkdir -p "$WORK/five"
head -c $((5 * 1048576)) /dev/urandom >"$WORK/five/f.bin"
backup five "$WORK/five" >/dev/null
printf 'x' | dd of="$WORK/five/f.bin" bs=1 seek=$((2 * 1048576 + 5)) conv=notrunc status=none
touch -d '2031-01-01' "$WORK/five/f.bin"
B0=$(find "$WORK/store/blocks" -type f | wc -l)
backup five "$WORK/five" >/dev/null
B1=$(find "$WORK/store/blocks" -type f | wc -l)
echo "new block files stored by the server: $((B1 - B0)) (of 5)"

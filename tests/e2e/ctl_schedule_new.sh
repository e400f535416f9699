#!/usr/bin/env bash
# tavni-ctl schedule new refuses what the agent would read otherwise than
# meant, before anything is written; it replaces a schedule only with --force;
# a drawn account key comes with its warning, and show-key prints it again.
TAVNI_BUILD_DIR=$(cd "${TAVNI_BUILD_DIR:-$(dirname "$0")/../../build}" && pwd)
# shellcheck source=lib/e2e.sh
source "$(dirname "$0")/lib/e2e.sh"
ROOT=$(mktemp -d)
trap 'rm -rf "$ROOT"' EXIT
SRC=$ROOT/src
mkdir -p "$SRC"
KEY=00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff
printf '%s\n' "$KEY" >"$ROOT/key"
ERR=$ROOT/err

new() { ctl_run schedule new --root "$ROOT" --acckey-file "$ROOT/key" "$@"; }
# refused MESSAGE FILE ARGS...: new fails naming MESSAGE and leaves FILE as it was.
refused() {
  local message=$1 file=$2 before=absent
  shift 2
  [ -e "$file" ] && before=$(cksum <"$file")
  new "$@" "$file" >/dev/null 2>"$ERR" && fail "accepted: $*"
  grep -qF -- "$message" "$ERR" || fail "no '$message' for $*: $(cat "$ERR")"
  local after=absent
  [ -e "$file" ] && after=$(cksum <"$file")
  [ "$before" = "$after" ] || fail "$file was changed by: $*"
  [ -e "$file.new" ] && fail "a half-written $file.new was left by: $*"
  return 0
}
good=(--user-id 7 --dest /1/Today --src "$SRC")
job=(--name job)

# --- values checked before anything is written -----------------------------------------
refused "--user-id: 'seven' is not a decimal number" "$ROOT/a.tbs" --user-id seven --dest /1 --name j --src "$SRC"
refused "--user-id: '4294967296' is larger than 4294967295" "$ROOT/a.tbs" --user-id 4294967296 --dest /1 --name j
refused "--user-id: '-1' is not a decimal number" "$ROOT/a.tbs" --user-id=-1 --dest /1 --name j
refused "--src: '$SRC/gone' does not exist" "$ROOT/a.tbs" "${good[@]}" "${job[@]}" --src "$SRC/gone"
refused "--src: 'rel/dir' is not an absolute path" "$ROOT/a.tbs" "${good[@]}" "${job[@]}" --src rel/dir
refused "--sync: '/no/such/tavni' does not exist" "$ROOT/a.tbs" "${good[@]}" "${job[@]}" --sync /no/such/tavni
refused "--dest: 'Today' is not an absolute server path" "$ROOT/a.tbs" --user-id 7 --dest Today --name j
refused "--email: 'bob(at)example.com' is not an e-mail address" "$ROOT/a.tbs" "${good[@]}" "${job[@]}" --email 'a@x.org,bob(at)example.com'
refused "--email: '0' is not an address: Email= takes addresses only" "$ROOT/a.tbs" "${good[@]}" "${job[@]}" --email '0,owner@example.com'
refused "--schedule-email: '7' in '7,a@x.org' is not a flag number 0 to 3" "$ROOT/a.tbs" "${good[@]}" "${job[@]}" --schedule-email 7,a@x.org
refused "--schedule-email: 'a b@x.org' is not an e-mail address" "$ROOT/a.tbs" "${good[@]}" "${job[@]}" --schedule-email '1,a b@x.org'
refused "the agent reads only the first schedule_email= line" "$ROOT/a.tbs" "${good[@]}" "${job[@]}" \
  --schedule-email 1,a@x.org --schedule-email 1,b@x.org
refused "--filter: '/data|1' is not FOLDER|FLAGS|PATTERNS" "$ROOT/a.tbs" "${good[@]}" "${job[@]}" --filter '/data|1'
refused "--filter: '/data|1| ; ' names no pattern" "$ROOT/a.tbs" "${good[@]}" "${job[@]}" --filter '/data|1| ; '
refused "--filter: the flags of '/data|x|*.tmp' are not a number 0 to 3" "$ROOT/a.tbs" "${good[@]}" "${job[@]}" --filter '/data|x|*.tmp'
[ -e "$ROOT/etc/tavni.ak" ] && fail "a refused schedule made a machine key"

# --- well-formed values pass, and the agent's reading of them holds --------------------------
new "${good[@]}" "${job[@]}" --sync "$SRC" --filter "$SRC|3|*.tmp; *.bak" --email 'a@x.org,,b@y.example' \
  "$ROOT/a.tbs" >"$ROOT/a.out" 2>"$ERR" || fail "good values refused: $(cat "$ERR")"
[ -s "$ROOT/a.out" ] && fail "a given key was printed"
[ -s "$ERR" ] && fail "a given key was warned about: $(cat "$ERR")"
new "${good[@]}" "${job[@]}" --schedule-email 3,bob@example.com "$ROOT/b.tbs" >/dev/null ||
  fail "a flagged recipient refused"
# Drive and share paths written here for a Windows agent are that agent's to check.
new --user-id 7 --dest /1/Today "${job[@]}" --src 'Z:\work\data' --sync '\\nas\share\docs' \
  "$ROOT/w.tbs" >/dev/null 2>"$ERR" || fail "Windows paths refused: $(cat "$ERR")"
ctl_run schedule decrypt --root "$ROOT" "$ROOT/b.tbs" | grep -qxF "schedule_email=3,bob@example.com" ||
  fail "schedule_email= not written"

# --- an existing schedule is replaced only with --force ----------------------------------------
refused "'$ROOT/a.tbs' exists already; give --force to replace it" "$ROOT/a.tbs" "${good[@]}" --name other
ctl_run schedule decrypt --root "$ROOT" "$ROOT/a.tbs" | grep -qxF "name=job" || fail "the first schedule was changed"
new "${good[@]}" --name other --force "$ROOT/a.tbs" >/dev/null || fail "--force did not replace"
ctl_run schedule decrypt --root "$ROOT" "$ROOT/a.tbs" | grep -qxF "name=other" || fail "--force wrote no new schedule"
[ "$(stat -c %a "$ROOT/a.tbs")" = 600 ] || fail "a replaced schedule is not owner-only"
ls "$ROOT" | grep -q '\.new$' && fail "a temporary file was left"
# A write that fails half-way (here: the file size limit, hit at 1 KiB)
# leaves the old schedule whole, and no half-written neighbour.
big=()
for i in $(seq 1 40); do big+=(--xsrc "$SRC/an-excluded-folder-with-a-long-name-$i"); done
before=$(cksum <"$ROOT/a.tbs")
(
  trap '' XFSZ
  ulimit -f 1
  new "${good[@]}" --name big --force "${big[@]}" "$ROOT/a.tbs"
) >/dev/null 2>"$ERR" && fail "a write over the size limit succeeded"
grep -qF "cannot write" "$ERR" || fail "the failed write was not reported: $(cat "$ERR")"
[ "$(cksum <"$ROOT/a.tbs")" = "$before" ] || fail "a failed write damaged the old schedule"
[ -e "$ROOT/a.tbs.new" ] && fail "a half-written a.tbs.new was left"
# A refusal with --force keeps the old schedule too.
refused "--src: '$SRC/gone' does not exist" "$ROOT/a.tbs" "${good[@]}" "${job[@]}" --force --src "$SRC/gone"

# --- a drawn key: printed once with its warning; show-key prints it again ---------------------------
ctl_run schedule new --root "$ROOT" "${good[@]}" "${job[@]}" "$ROOT/drawn.tbs" >"$ROOT/drawn.out" 2>"$ERR" ||
  fail "schedule new with a drawn key"
grep -Eq '^acckey=[0-9A-F]{64}$' "$ROOT/drawn.out" || fail "drawn key not printed: $(cat "$ROOT/drawn.out")"
[ "$(wc -l <"$ROOT/drawn.out")" = 1 ] || fail "more than the key on standard output"
for text in "encrypts every backup" "the server never" "unreadable" "$ROOT/drawn.tbs" \
  "encrypted under this machine's key" "tavni-ctl schedule show-key"; do
  grep -qF -- "$text" "$ERR" || fail "the warning lacks '$text': $(cat "$ERR")"
done
ctl_run schedule show-key --root "$ROOT" "$ROOT/drawn.tbs" >"$ROOT/shown.out" 2>"$ERR" || fail "show-key"
[ "acckey=$(cat "$ROOT/shown.out")" = "$(cat "$ROOT/drawn.out")" ] || fail "show-key printed another key"
grep -qF "encrypts every backup" "$ERR" || fail "show-key without the warning"
grep -qF "$(cut -d= -f2 "$ROOT/drawn.out")" "$ERR" && fail "show-key put the key on standard error"
ctl_run schedule show-key --root "$ROOT" "$ROOT/a.tbs" | grep -qxF "$KEY" || fail "show-key of a given key"
# A schedule's bare file name is the installation's schedule, from any folder.
mkdir -p "$ROOT/elsewhere"
(cd "$ROOT/elsewhere" && ctl_run schedule show-key --root "$ROOT" a.tbs 2>/dev/null) | grep -qxF "$KEY" ||
  fail "show-key of the installation's schedule by its file name"
# show-key of a foreign or missing file fails and prints nothing.
mkdir -p "$ROOT/other"
ctl_run schedule new --root "$ROOT/other" "${good[@]}" "${job[@]}" "$ROOT/other/x.tbs" >/dev/null 2>&1
ctl_run schedule show-key --root "$ROOT" "$ROOT/other/x.tbs" >"$ROOT/shown.out" 2>"$ERR" &&
  fail "show-key of a foreign schedule succeeded"
[ -s "$ROOT/shown.out" ] && fail "show-key of a foreign schedule printed"
grep -qF "does not decrypt with this machine key" "$ERR" || fail "foreign: $(cat "$ERR")"
ctl_run schedule show-key --root "$ROOT" "$ROOT/none.tbs" >/dev/null 2>&1 && fail "show-key of no file"

# --- help texts explain each option with an example ------------------------------------------------
for verb in "schedule new" "schedule encrypt" "schedule decrypt" "schedule show-key" queue stop check; do
  # shellcheck disable=SC2086
  ctl_run $verb --help >"$ROOT/help" 2>&1 || fail "$verb --help"
  grep -q "Example" "$ROOT/help" || fail "$verb --help has no example"
done
ctl_run schedule new --help >"$ROOT/help"
for opt in --user-id --dest --src --sync --filter --email --schedule-email --force; do
  grep -A3 -- "$opt" "$ROOT/help" | grep -q "e\.g\.\|replace" || fail "$opt is not explained with an example"
done
grep -qF "3 HTML only when files failed" "$ROOT/help" || fail "the recipient flags are not explained"
echo "ctl_schedule_new: ok"

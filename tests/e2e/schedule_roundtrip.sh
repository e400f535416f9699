#!/usr/bin/env bash
# Schedule files end to end: tavni-ctl writes and reads them with the machine
# key of an installation folder, and the agent accepts or refuses them with
# the codes and job-log lines of the schedule reader.
TAVNI_BUILD_DIR=$(cd "${TAVNI_BUILD_DIR:-$(dirname "$0")/../../build}" && pwd)
# shellcheck source=lib/e2e.sh
source "$(dirname "$0")/lib/e2e.sh"
# Every check runs and failures are counted: no stop at the first.
set +e +o pipefail
ROOT=$(mktemp -d)
trap 'rm -rf "$ROOT"' EXIT
FAILS=0
fail() { echo "FAIL: $*"; FAILS=$((FAILS + 1)); }
ctl() { ctl_run "$@"; }

KEY=00112233445566778899aabbccddeeffAABBCCDDEEFF00112233445566778899

# --- ctl: new, decrypt, encrypt ------------------------------------------------
# Sources must exist when the schedule is written.
D=$ROOT/data
mkdir -p "$D/a" "$D/b c"
ctl schedule new --root "$ROOT" --user-id 42 --account-id 7 --dest /D5 --name Nightly \
    --acckey $KEY --src "$D/a" --src "$D/b c" --xsrc "$D/a/tmp" --sync "$D" \
    --filter "$D/f|1|*.tmp;*.bak" --email 'a@x,b@y' --html 0 --mirror 1 \
    --precmd 'echo pre' --cmdtimeout 2 --schedule 'C:\T\0000002A.tbs' "$ROOT/job.tbs" > "$ROOT/new.out" ||
    fail "schedule new"
[ -s "$ROOT/new.out" ] && fail "a given account key must not be printed"
[ "$(stat -c %s "$ROOT/etc/tavni.ak")" = 4096 ] || fail "key file not 4096 bytes"
[ "$(stat -c %a "$ROOT/etc/tavni.ak")" = 600 ] || fail "key file not owner-only"
cat > "$ROOT/expect.txt" <<EOT
# Tavni Backup Schedule
UserId=42
AccountId=7
Dest=/D5
name=Nightly
enabled=1
acckey=$KEY
mirror=1
precmd=echo pre
cmdtimeout=2
html=0
Email=a@x,b@y
Src=$D/a
Src=$D/b c
XSrc=$D/a/tmp
Sync=$D
filter=$D/f|1|*.tmp;*.bak
Schedule=C:\T\0000002A.tbs
EOT
ctl schedule decrypt --root "$ROOT" "$ROOT/job.tbs" > "$ROOT/got.txt" || fail "schedule decrypt"
cmp -s "$ROOT/expect.txt" "$ROOT/got.txt" || fail "decrypt differs from the text written"
# Reading needs the installation's key: none is made for it.
mkdir -p "$ROOT/other"
ctl schedule decrypt --root "$ROOT/other" "$ROOT/job.tbs" > /dev/null 2>&1 && fail "decrypt without a key"
[ -e "$ROOT/other/etc/tavni.ak" ] && fail "decrypt made a key"

ctl schedule new --root "$ROOT" --user-id 1 --dest /D1 --name Fresh "$ROOT/fresh.tbs" > "$ROOT/fresh.out" ||
    fail "schedule new with a drawn key"
grep -Eq '^acckey=[0-9A-F]{64}$' "$ROOT/fresh.out" || fail "drawn key not printed"
ctl schedule decrypt --root "$ROOT" "$ROOT/fresh.tbs" | grep -qxF "$(cat "$ROOT/fresh.out")" ||
    fail "drawn key not in the schedule"
ctl schedule new --root "$ROOT" --user-id 1 --dest /D1 --name 'a
b' "$ROOT/bad.tbs" 2> /dev/null && fail "a value with a line end was accepted"
ctl schedule new --root "$ROOT" --user-id 1 --dest /D1 --name x --acckey abc "$ROOT/bad.tbs" 2> /dev/null &&
    fail "a short account key was accepted"

# The key from a file or standard input (the process list shows neither):
# one trailing line end is dropped; anything longer than a key is refused.
printf '%s\r\n' "$KEY" > "$ROOT/key.txt"
ctl schedule new --root "$ROOT" --user-id 1 --dest /D1 --name f --acckey-file "$ROOT/key.txt" \
    "$ROOT/kf.tbs" > "$ROOT/kf.out" || fail "schedule new --acckey-file"
[ -s "$ROOT/kf.out" ] && fail "a key from a file must not be printed"
ctl schedule decrypt --root "$ROOT" "$ROOT/kf.tbs" | grep -qxF "acckey=$KEY" || fail "key file not used"
printf '%s' "$KEY" | ctl schedule new --root "$ROOT" --user-id 1 --dest /D1 --name s --acckey-file - \
    "$ROOT/ks.tbs" > /dev/null || fail "schedule new --acckey-file -"
ctl schedule decrypt --root "$ROOT" "$ROOT/ks.tbs" | grep -qxF "acckey=$KEY" || fail "key from standard input not used"
printf '%s\n\n' "$KEY" > "$ROOT/key2.txt"
ctl schedule new --root "$ROOT" --user-id 1 --dest /D1 --name x --acckey-file "$ROOT/key2.txt" \
    "$ROOT/bad.tbs" 2> /dev/null && fail "a key file with more than a key was accepted"
ctl schedule new --root "$ROOT" --user-id 1 --dest /D1 --name x --acckey-file "$ROOT/none.txt" \
    "$ROOT/bad.tbs" 2> /dev/null && fail "a missing key file was accepted"
ctl schedule new --root "$ROOT" --user-id 1 --dest /D1 --name x --acckey $KEY --acckey-file "$ROOT/key.txt" \
    "$ROOT/bad.tbs" 2> /dev/null && fail "--acckey with --acckey-file was accepted"
ctl schedule new --help | grep -A1 -- "--acckey-file" | grep -q "the safe form" || fail "--help does not name the safe form"

head -c 1000 /dev/urandom > "$ROOT/plain.bin"
ctl schedule encrypt --root "$ROOT" "$ROOT/plain.bin" "$ROOT/plain.enc" || fail "encrypt"
[ $(($(stat -c %s "$ROOT/plain.enc") % 16)) = 0 ] || fail "ciphertext not whole blocks"
ctl schedule decrypt --root "$ROOT" "$ROOT/plain.enc" | cmp -s - "$ROOT/plain.bin" || fail "binary round trip"
mkdir -p "$ROOT/other"
ctl schedule decrypt --root "$ROOT/other" "$ROOT/plain.enc" > /dev/null 2>&1 &&
    fail "another machine key decrypted the file"

# --- the agent ---------------------------------------------------------------------
# Plain texts for every reader edge case; each becomes NAME.tbs.
base() {
    printf '%s\n' "# Tavni Backup Schedule" "UserId=42" "AccountId=7" "Dest=/D5" "name=Job" "Src=/nowhere"
}
mk() { # NAME, then the text on stdin
    cat > "$ROOT/$1.txt"
    ctl schedule encrypt --root "$ROOT" "$ROOT/$1.txt" "$ROOT/$1.tbs" || fail "encrypt $1"
}
{ echo "# Tavni Backup Schedule (written by hand)"; base | tail -n +2; echo "enabled=1"; echo "acckey=$KEY"; echo "Schedule=s.tbs"; } | mk trailing
{ echo "#Tavni Backup Schedule"; base | tail -n +2; echo "enabled=1"; echo "acckey=$KEY"; echo "Schedule=s"; } | mk noblank
{ base | sed 's/^UserId=/userid=/'; echo "ENABLED=1"; echo "ACCKEY=$KEY"; echo "schedule=s"; } | mk anycase
{ base; echo "name=again"; echo "enabled=1"; echo "acckey=$KEY"; echo "Schedule=s"; } | mk twonames
{ base; echo "schedule_email=a@x"; echo "Email=b@y"; echo "enabled=1"; echo "acckey=$KEY"; echo "Schedule=s"; } | mk emailafter
{ base; echo "Email=a@x,,b@y"; echo "schedule_email=c@z"; echo "enabled=1"; echo "acckey=$KEY"; echo "Schedule=s"; } | mk redundant
{ base; echo "enabled=yes"; echo "acckey=$KEY"; echo "Schedule=s"; } | mk disabledyes
{ base; echo "enabled=1 "; echo "acckey=$KEY"; echo "Schedule=s"; } | mk disabledblank
{ base; echo "enabled=1"; echo "acckey=${KEY:0:63}"; echo "Schedule=s"; } | mk key63
{ base; echo "enabled=1"; echo "acckey=${KEY}0"; echo "Schedule=s"; } | mk key65
{ base; echo "enabled=1"; echo "acckey=$KEY"; } | mk nosched
{ base; echo "Src=$(printf 'p%.0s' $(seq 296))"; echo "enabled=1"; echo "acckey=$KEY"; echo "Schedule=s"; } | mk longsrc
: > "$ROOT/empty.tbs"
head -c 37 "$ROOT/trailing.tbs" > "$ROOT/odd.tbs"
head -c 4096 /dev/urandom > "$ROOT/random.tbs"
ctl schedule new --root "$ROOT/other" --user-id 1 --dest /D1 --name x --acckey $KEY "$ROOT/foreign.tbs" > /dev/null

# Runs the agent on one schedule; sets LOG (job log) and CODE (from agent.log).
run_agent() {
    rm -f "$ROOT/agent.log" "$ROOT/$1.tbs.log"
    (cd "$ROOT" && timeout "$E2E_WAIT" ${TAVNI_RUN:+"$TAVNI_RUN"} "$TAVNI_AGENT" background "$1.tbs" > /dev/null 2>&1)
    LOG=$(cat "$ROOT/$1.tbs.log" 2> /dev/null)
    CODE=$(sed -n -e "s/.*initial procjob('$1.tbs') completed with error code \(-\?[0-9]*\).*/\1/p" \
        -e "s/.*initial procjob('$1.tbs') completed successfully.*/0/p" "$ROOT/agent.log" 2> /dev/null)
}
expect() { # NAME CODE [job-log text]
    run_agent "$1"
    [ "$CODE" = "$2" ] || fail "$1: code '$CODE', expected $2"
    if [ $# -ge 3 ]; then grep -qF -- "$3" <<< "$LOG" || fail "$1: job log lacks '$3'"; fi
    grep -qF -- "$KEY" <<< "$LOG" && fail "$1: the account key reached the job log"
    grep -qF -- "${KEY:0:63}" <<< "$LOG" && fail "$1: the account key reached the job log"
}

run_agent job
if [ -z "$CODE" ]; then
    fail "the agent logged no result for job.tbs"
else
    [ "$CODE" = 0 ] || fail "job: code $CODE"
    grep -qF "Parsing TBS file: complete." <<< "$LOG" || fail "job: not parsed"
    grep -qF "Calling __do_backup()..." <<< "$LOG" || fail "job: driver not called"
    grep -qF "Got filter: '$D/f'" <<< "$LOG" || fail "job: filter not logged"
    expect trailing 0 "Calling __do_backup()..."
    expect noblank 2381 "Invalid TBS header; aborting."
    expect anycase 0 "Calling __do_backup()..."
    expect twonames 2595 "Got too many entries for 'name='; Aborting."
    expect emailafter 2536 "FATAL: Got value for Email= when we already got value for schedule_email="
    expect redundant 0 "Got redundant entry value of 'c@z' for 'schedule_email=' (IGNORING)"
    expect disabledyes 0 "The schedule is disabled; aborting."
    expect disabledblank 0 "The schedule is disabled; aborting."
    expect key63 2705 "Error parsing encryption key; aborting."
    expect key65 2705 "Error parsing encryption key; aborting."
    expect nosched 2678 "The required 'Schedule=' option was not scpecified; aborting."
    expect longsrc 0 "Got value of '$(printf 'p%.0s' $(seq 255))' for 'Src='"
    expect empty 2371 "Unable to decrypt file; aborting."
    expect odd 2371 "Unable to decrypt file; aborting."
    expect random 2381 "Invalid TBS header; aborting."
    expect foreign 2381 "Invalid TBS header; aborting."
    expect missing 2352 "Cound not open schedule file 'missing.tbs'; aborting."
    # A new key file: older schedules no longer decrypt.
    rm "$ROOT/etc/tavni.ak"
    expect job 2381 "Invalid TBS header; aborting."
    [ "$(stat -c %s "$ROOT/etc/tavni.ak")" = 4096 ] || fail "agent did not create the key file"
    [ "$(stat -c %a "$ROOT/etc/tavni.ak")" = 600 ] || fail "agent's key file not owner-only"
    head -c 100 "$ROOT/etc/tavni.ak" > "$ROOT/etc/short" && mv "$ROOT/etc/short" "$ROOT/etc/tavni.ak"
    expect job 2361 "Unable to initialize crypto on file; aborting."
    rm -rf "$ROOT/etc"
    expect job 2361 "Unable to initialize crypto on file; aborting."
fi

[ $FAILS = 0 ] && echo "schedule_roundtrip: OK" || echo "schedule_roundtrip: $FAILS failure(s)"
[ $FAILS = 0 ]

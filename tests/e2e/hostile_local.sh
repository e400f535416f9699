#!/usr/bin/env bash
# hostile_local.sh - a local stranger (nobody) against a root agent's named
# objects: the job mailslot (taken first, zero-byte and path messages, a path
# whose log is a link to root's file), the progress area (resized while a job
# runs, read, made first) and the terminate event (a link planted at its name,
# a stop). The agent must run its own jobs, leave every file outside its
# folder alone and be stopped by root alone. Then the stranger makes the
# mailslot folder of another user first; that user's agent runs all the same.
source "$(dirname "$0")/lib/backup_env.sh"
if [ "$(id -u)" != 0 ]; then
  echo "hostile_local: skipped (needs root to act as another user)"
  exit 0
fi

CTL=$BUILD/tavni-ctl
MAILSLOT_NAME='Tavni/Tavni Backup/Backup Job Mailslot'
SOCKET='/run/tavni-backup/Tavni.Tavni Backup.Backup Job Mailslot'
AREA='/dev/shm/Tavni.Tavni Backup.Backup Progress Information'
SEM='/dev/shm/Tavni.Tavni Backup.Terminate Backup Event.sock'
# The other user of the last case: a user id no account has.
OTHER=3999999990
STRANGER_PIDS=()
stranger() { setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"; }
hostile_cleanup() {
  local p
  for p in "${STRANGER_PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  [ -n "${AGENT:-}" ] && kill "$AGENT" 2>/dev/null
  [ -L "$SEM" ] && rm -f "$SEM"
  [ -f "$AREA" ] && [ "$(stat -c %U "$AREA")" = nobody ] && rm -f "$AREA"
  rm -rf /tmp/tavni-backup-0 "/tmp/tavni-backup-$OTHER" "/tmp/tavni-backup-$OTHER".*
  e2e_cleanup
}
trap hostile_cleanup EXIT

# The agent's objects are machine-wide: let an agent started by someone else
# finish first.
wait_no_agent

# sends SOCKET MESSAGE...: nobody writes each message as one datagram ("-" is
# a zero-byte one), as a stranger's own program would.
sends() {
  stranger perl -MSocket -e '
    socket(S, PF_UNIX, SOCK_DGRAM, 0) or die "socket: $!";
    connect(S, pack_sockaddr_un(shift)) or die "connect: $!";
    for (@ARGV) { defined(send(S, $_ eq "-" ? "" : "$_\0", 0)) or die "send: $!" }' "$@"
}

setup_install
start_server
chmod 755 "$E2E_TMP"
SRC=$E2E_TMP/src
mkdir -p "$SRC"
echo one >"$SRC/one.txt"
# The first job waits in its pre-backup command until the test lets it go
# (or ends, taking its folder with it).
make_schedule "$INSTALL/first.tbs" --dest /1 --name first --src "$SRC" \
  --precmd "sh -c \"while [ -d $E2E_TMP ] && [ ! -e $E2E_TMP/go ]; do sleep 0.05; done\""
make_schedule "$INSTALL/second.tbs" --dest /2 --name second --src "$SRC"
make_schedule "$INSTALL/third.tbs" --dest /3 --name third --src "$SRC"

# Root's files that the stranger aims at.
echo "root's own" >"$E2E_TMP/rootfile"
chmod 600 "$E2E_TMP/rootfile"
echo "root's semaphore target" >"$E2E_TMP/semtarget"
chmod 600 "$E2E_TMP/semtarget"
mkdir "$E2E_TMP/evil"
chown nobody "$E2E_TMP/evil"
BOUND=$E2E_TMP/evil/bound
stranger ln -s "$E2E_TMP/rootfile" "$E2E_TMP/evil/x.log"

# Before the agent starts: the stranger takes the old abstract name (unless
# a program of this machine holds it already, which serves as well) and a
# folder where a user's mailslot would live, and plants a link at the
# semaphore's name.
# (setpriv itself in the background, so that $! is the stranger's own pid.)
setpriv --reuid=nobody --regid=nogroup --clear-groups -- perl -MSocket -e '
  socket(S, PF_UNIX, SOCK_DGRAM, 0) or die;
  bind(S, pack_sockaddr_un("\0" . shift)) or $!{EADDRINUSE} or die "bind: $!";
  open(F, ">", shift) or die; close(F); sleep 600' "$MAILSLOT_NAME" "$BOUND" &
STRANGER_PIDS+=($!)
wait_until test -e "$BOUND" || fail "the stranger could not take the abstract name"
stranger mkdir -m 777 /tmp/tavni-backup-0 2>/dev/null || true
rm -f "$SEM"
stranger ln -s "$E2E_TMP/semtarget" "$SEM"

start_agent "$INSTALL/first.tbs"
LOG=$INSTALL/agent.log
wait_log "$LOG" "ipc_rx_setup($MAILSLOT_NAME) succeeded."
wait_log "$INSTALL/first.tbs.log" "Running pre-backup command"
expect_log "$LOG" "Successfully created hTerminateBackupEvent event"

# While the job runs: the stranger's messages, then root's own jobs.
sends "$SOCKET" - "$E2E_TMP/evil/x" - || fail "the stranger could not reach the mailslot"
stranger "$CTL" queue --agent-uid 0 "$E2E_TMP/evil/x" >/dev/null || fail "the stranger's tavni-ctl could not send"
"$CTL" queue "$INSTALL/second.tbs" >/dev/null || fail "queue second"
sends "$SOCKET" - || fail "the stranger's last message"
"$CTL" queue "$INSTALL/third.tbs" >/dev/null || fail "queue third"

# The progress area (it names the paths being backed up): the stranger may
# neither resize nor read it, and tavni-ctl says why; root (the agent's own
# user) may, and the agent's next update mends it.
if stranger truncate -s 0 "$AREA" 2>/dev/null; then fail "the stranger resized the progress area"; fi
[ "$(stat -c %a "$AREA")" = 600 ] || fail "progress area mode $(stat -c %a "$AREA")"
if stranger cat "$AREA" >/dev/null 2>&1; then fail "the stranger read the progress area"; fi
rc=0; stranger "$CTL" progress >"$E2E_TMP/denied.out" 2>&1 || rc=$?
[ "$rc" = 1 ] || fail "the stranger's progress exited $rc: $(cat "$E2E_TMP/denied.out")"
grep -q "the progress area is readable only by its agent's user and root" "$E2E_TMP/denied.out" ||
  fail "the stranger's progress: $(cat "$E2E_TMP/denied.out")"
truncate -s 0 "$AREA"
rc=0; "$CTL" progress >"$E2E_TMP/short.out" 2>&1 || rc=$?
[ "$rc" = 1 ] || fail "progress on an empty area exited $rc: $(cat "$E2E_TMP/short.out")"
grep -q "the progress area holds 0 of its 4672 bytes" "$E2E_TMP/short.out" ||
  fail "progress on an empty area: $(cat "$E2E_TMP/short.out")"
truncate -s 100 "$AREA"
touch "$E2E_TMP/go"
wait_log "$INSTALL/first.tbs.log" "Backup job completed normally."
truncate -s 1M "$AREA"

wait "$AGENT" || fail "agent exit code $?"
AGENT=

# Every stranger's message was refused and logged; root's jobs ran in order.
[ "$(count_log "$LOG" "Refused a job mailslot message from user 65534 (process ")" = 6 ] ||
  fail "refusals: $(grep -c Refused "$LOG")"
expect_no_log "$LOG" "procjob('$E2E_TMP/evil/x')"
grep -n "procjob('" "$LOG" | grep "begin" | sed -e "s/.*procjob('//" -e "s/').*//" >"$E2E_TMP/order"
printf '%s\n' "$INSTALL/first.tbs" "$INSTALL/second.tbs" "$INSTALL/third.tbs" | cmp -s - "$E2E_TMP/order" ||
  fail "jobs run: $(cat "$E2E_TMP/order")"
expect_log "$INSTALL/second.tbs.log" "Backup job completed normally."
expect_log "$INSTALL/third.tbs.log" "Backup job completed normally."
expect_log "$LOG" "No new jobs were queued; Finished processing backup jobs; Exiting normally."
expect_log "$LOG" "Backup thread exited normally."
[ "$(cat "$E2E_TMP/rootfile")" = "root's own" ] || fail "root's file was written through the stranger's link"
[ "$(stat -c %a "$E2E_TMP/rootfile")" = 600 ] || fail "root's file mode changed"
[ "$(stat -c %a "$E2E_TMP/semtarget")" = 600 ] || fail "the semaphore link was followed"
[ "$(cat "$E2E_TMP/semtarget")" = "root's semaphore target" ] || fail "the semaphore target was written"

# A progress area made by the stranger before the agent starts is not used;
# the agent runs its job without progress.
stranger sh -c "echo planted >'$AREA'"
run_agent "$INSTALL/second.tbs"
expect_log "$LOG" "Could not create file mapping object (Error 1). Backup progress information will not be available."
expect_log "$LOG" "initial procjob('$INSTALL/second.tbs') completed successfully"
[ "$(cat "$AREA")" = planted ] || fail "the stranger's area was written"
rm -f "$AREA"

# A stop: the stranger's is refused, by tavni-ctl's word and in the agent's
# log, and the job goes on; root's own ends it.
BIG=$E2E_TMP/big
mkdir -p "$BIG"
head -c $((300 * 1048576)) /dev/zero | tr '\0' 'x' >"$BIG/big.bin"
make_schedule "$INSTALL/stop.tbs" --dest /4 --name stop --src "$BIG"
start_agent "$INSTALL/stop.tbs"
wait_log "$INSTALL/stop.tbs.log" "FILE: '$BIG/big.bin' ..."
rc=0; stranger "$CTL" stop >"$E2E_TMP/stop.out" 2>&1 || rc=$?
[ "$rc" = 1 ] || fail "the stranger's stop exited $rc: $(cat "$E2E_TMP/stop.out")"
grep -q "the running agent is user 0's; it takes a stop only from its own user and root" "$E2E_TMP/stop.out" ||
  fail "the stranger's stop: $(cat "$E2E_TMP/stop.out")"
wait_log "$LOG" "Refused a stop request from user 65534 (process "
expect_no_log "$INSTALL/stop.tbs.log" "User terminated the backup."
"$CTL" stop >/dev/null || fail "root's stop"
wait "$AGENT" || fail "agent exit code $?"
AGENT=
expect_log "$INSTALL/stop.tbs.log" "User terminated the backup."
[ "$(count_log "$LOG" "Refused a stop request from user 65534")" = 1 ] ||
  fail "stop refusals: $(grep -c "Refused a stop" "$LOG")"

# Another user's mailslot folder below /tmp, made first by the stranger (and
# unreadable to that user), does not keep that user's agent from its jobs:
# the agent takes a folder of its own and says so, and the user's tavni-ctl
# finds it there.
rm -rf "/tmp/tavni-backup-$OTHER" "/tmp/tavni-backup-$OTHER".*
stranger mkdir -m 700 "/tmp/tavni-backup-$OTHER"
chown -R "$OTHER" "$INSTALL"
as_other() { setpriv --reuid="$OTHER" --regid="$OTHER" --clear-groups -- "$@"; }
make_schedule "$INSTALL/held.tbs" --dest /5 --name held --src "$SRC" \
  --precmd "sh -c \"while [ -d $E2E_TMP ] && [ ! -e $E2E_TMP/go2 ]; do sleep 0.05; done\""
chown "$OTHER" "$INSTALL/held.tbs"
wait_no_agent
rm -f "$LOG"
(cd "$INSTALL" && exec setpriv --reuid="$OTHER" --regid="$OTHER" --clear-groups -- \
  "$TAVNI_AGENT" background "$INSTALL/held.tbs" 2>/dev/null) &
AGENT=$!
wait_log "$LOG" "ipc_rx_setup($MAILSLOT_NAME) succeeded."
expect_log "$LOG" "The job mailslot folder '/tmp/tavni-backup-$OTHER' belongs to another user or others may write it; using '/tmp/tavni-backup-$OTHER."
as_other "$CTL" queue "$INSTALL/third.tbs" >/dev/null || fail "the user's tavni-ctl did not find its agent"
touch "$E2E_TMP/go2"
wait "$AGENT" || fail "the user's agent exited $?"
AGENT=
expect_log "$LOG" "initial procjob('$INSTALL/held.tbs') completed successfully"
expect_log "$LOG" "procjob('$INSTALL/third.tbs') completed successfully"
# And tavni-ctl run, which looks for a running agent first, runs a job.
rc=0; as_other "$CTL" run "$INSTALL/second.tbs" >"$E2E_TMP/run.out" 2>&1 || rc=$?
[ "$rc" = 0 ] || fail "the user's tavni-ctl run exited $rc: $(cat "$E2E_TMP/run.out")"
[ -d "/tmp/tavni-backup-$OTHER" ] && [ "$(stat -c %U "/tmp/tavni-backup-$OTHER")" = nobody ] ||
  fail "the stranger's folder was touched"
echo "hostile_local: ok"

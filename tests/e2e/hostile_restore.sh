#!/usr/bin/env bash
# hostile_restore.sh - a local stranger (nobody) against root's restore into
# a folder the stranger may write. While a large file is decoded, the
# stranger swaps its temporary name for a link to a root-only file, and swaps
# a folder the restore has entered for a link to a root-only folder (one
# standing for /etc/cron.d). Root's restore must touch nothing outside --to
# and fail the swapped entry with a line that says why. Then what a stored
# security record may set: set-id bits only with --same-owner for files
# restored to their stored owner and group, and never by a restore run as
# another user.
source "$(dirname "$0")/lib/backup_env.sh"
if [ "$(id -u)" != 0 ]; then
  echo "hostile_restore: skipped (needs root to act as another user)"
  exit 0
fi
STRANGER_PIDS=()
stranger() { setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"; }
hostile_cleanup() {
  local p
  for p in "${STRANGER_PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  e2e_cleanup
}
trap hostile_cleanup EXIT
wait_no_agent

setup_install
start_server
chmod 755 "$E2E_TMP"
SRC=$E2E_TMP/src
mkdir -p "$SRC/a" "$SRC/b"
# Large enough that decoding takes a while; random, so that nothing shrinks.
head -c 48000000 /dev/urandom >"$SRC/a/big.bin"
head -c 48000000 /dev/urandom >"$SRC/b/big.bin"
echo "written after the swap" >"$SRC/b/z.txt"
chmod 6777 "$SRC/a/big.bin"
# Set-id files: root's own, and one of nobody's.
printf 'suid\n' >"$SRC/suid.bin"
chmod 4755 "$SRC/suid.bin"
printf 'sgid\n' >"$SRC/sgid.bin"
chown nobody:nogroup "$SRC/sgid.bin"
chmod 2755 "$SRC/sgid.bin"
make_schedule "$INSTALL/r.tbs" --dest /1 --name restore --src "$SRC"
run_agent "$INSTALL/r.tbs"
expect_log "$INSTALL/r.tbs.log" "Backup job completed normally."

# What the stranger aims at.
ROOTFILE=$E2E_TMP/rootfile
echo "root's own" >"$ROOTFILE"
chmod 600 "$ROOTFILE"
ROOTDIR=$E2E_TMP/cron.d
mkdir -m 700 "$ROOTDIR"
MARKS=$E2E_TMP/marks
RESTORE_CMD=("$BUILD/tavni-server" restore --store "$STORE" --user "$USER_ID" --acckey-file "$KEYFILE")

# One round: the stranger owns --to and the folders the restore will enter,
# and swaps as soon as each large file's temporary name appears. A round in
# which the restore was quicker than the stranger proves nothing: it is run
# again (the stranger says which swaps it made).
race_round() { # out
  local out=$1 rc=0
  rm -rf "$out" "$MARKS"
  mkdir -p "$out/src/a" "$out/src/b" "$MARKS"
  chown -R nobody:nogroup "$out" "$MARKS"
  stranger perl -MTime::HiRes=sleep,time -e '
    my ($out, $rootfile, $rootdir, $marks) = @ARGV;
    my $end = time + 300;
    my ($a, $b) = (0, 0);
    open(R, ">", "$marks/ready") or die; close(R);
    while (time < $end && !($a && $b) && !-e "$marks/stop") {
      if (!$a && rename("$out/src/a/big.bin.tavni-part", "$out/src/a/moved.bin")) {
        symlink($rootfile, "$out/src/a/big.bin.tavni-part") or die "symlink: $!";
        $a = 1;
        open(M, ">", "$marks/a") or die; close(M);
      }
      if (!$b && -e "$out/src/b/big.bin.tavni-part" && rename("$out/src/b", "$out/src/b.old")) {
        symlink($rootdir, "$out/src/b") or die "symlink: $!";
        $b = 1;
        open(M, ">", "$marks/b") or die; close(M);
      }
      sleep 0.0005;
    }' "$out" "$ROOTFILE" "$ROOTDIR" "$MARKS" &
  STRANGER_PIDS+=($!)
  local pid=$!
  wait_until test -e "$MARKS/ready" || fail "the stranger did not start"
  "${RESTORE_CMD[@]}" --to "$out" "/1/Root$SRC" >"$E2E_TMP/restore.out" 2>&1 || rc=$?
  touch "$MARKS/stop"
  wait "$pid" || fail "the stranger failed"
  echo "$rc" >"$E2E_TMP/restore.rc"
}

hit=0
for round in 1 2 3 4 5 6; do
  race_round "$E2E_TMP/out"
  # Whatever the timing, nothing outside --to changed.
  [ "$(cat "$ROOTFILE")" = "root's own" ] || fail "round $round: root's file was written"
  [ "$(stat -c %a "$ROOTFILE")" = 600 ] ||
    fail "round $round: root's file got mode $(stat -c %a "$ROOTFILE") through the stranger's link"
  [ -z "$(ls -A "$ROOTDIR")" ] ||
    fail "round $round: the restore wrote into the root-only folder: $(ls -l "$ROOTDIR")"
  if [ -e "$MARKS/a" ] && [ -e "$MARKS/b" ]; then
    hit=1
    break
  fi
done
[ "$hit" = 1 ] || fail "the stranger never hit both windows in 6 rounds"
out=$E2E_TMP/out
[ "$(cat "$E2E_TMP/restore.rc")" = 1 ] || fail "the raced restore exited $(cat "$E2E_TMP/restore.rc")"
grep -q "big.bin not restored: .*big.bin.tavni-part was replaced while it was written" \
  "$E2E_TMP/restore.out" || fail "no line for the swapped temporary name: $(cat "$E2E_TMP/restore.out")"
# The folder swapped after it was entered kept receiving its files, inside --to.
cmp -s "$SRC/b/big.bin" "$out/src/b.old/big.bin" || fail "b/big.bin was not restored into its folder"
cmp -s "$SRC/b/z.txt" "$out/src/b.old/z.txt" || fail "b/z.txt was not restored into its folder"

# A link planted before the restore: at a folder it must enter, and at a
# file's temporary name. Each fails its entry; nothing outside --to changes.
rm -rf "$out"
mkdir -p "$out/src"
chown -R nobody:nogroup "$out"
stranger ln -s "$ROOTDIR" "$out/src/b"
stranger ln -s "$ROOTFILE" "$out/src/suid.bin.tavni-part"
rc=0
"${RESTORE_CMD[@]}" --to "$out" "/1/Root$SRC" >"$E2E_TMP/planted.out" 2>&1 || rc=$?
[ "$rc" = 1 ] || fail "restore over planted links exited $rc"
grep -q "is a link, not a folder" "$E2E_TMP/planted.out" ||
  fail "no line for the planted folder link: $(cat "$E2E_TMP/planted.out")"
[ -z "$(ls -A "$ROOTDIR")" ] || fail "the restore wrote through the planted folder link"
[ "$(stat -c %a "$ROOTFILE")" = 600 ] || fail "the planted link at a temporary name was followed"
[ "$(cat "$ROOTFILE")" = "root's own" ] || fail "root's file was written through the planted link"
cmp -s "$SRC/suid.bin" "$out/src/suid.bin" || fail "suid.bin was not restored past the planted leftover"

# What a stored security record may set.
mode_of() { stat -c %a "$1"; }
owner_of() { stat -c %U:%G "$1"; }
rm -rf "$out"
"${RESTORE_CMD[@]}" --to "$out" "/1/Root$SRC/suid.bin" >"$E2E_TMP/plain.out" 2>&1 ||
  fail "restore of suid.bin: $(cat "$E2E_TMP/plain.out")"
[ "$(mode_of "$out/suid.bin")" = 755 ] || fail "without --same-owner: suid.bin mode $(mode_of "$out/suid.bin")"
grep -q "suid.bin: set-user-id and set-group-id bits dropped" "$E2E_TMP/plain.out" ||
  fail "no note for the dropped bits: $(cat "$E2E_TMP/plain.out")"
rm -rf "$out"
"${RESTORE_CMD[@]}" --same-owner --to "$out" "/1/Root$SRC/suid.bin" >/dev/null ||
  fail "restore --same-owner of suid.bin"
[ "$(mode_of "$out/suid.bin")" = 4755 ] || fail "--same-owner: suid.bin mode $(mode_of "$out/suid.bin")"
"${RESTORE_CMD[@]}" --same-owner --to "$out" "/1/Root$SRC/sgid.bin" >/dev/null ||
  fail "restore --same-owner of sgid.bin"
[ "$(owner_of "$out/sgid.bin")" = nobody:nogroup ] || fail "sgid.bin owner $(owner_of "$out/sgid.bin")"
[ "$(mode_of "$out/sgid.bin")" = 2755 ] || fail "--same-owner: sgid.bin mode $(mode_of "$out/sgid.bin")"

# As another user (a copy of the store that nobody may read): no owner is
# applied, and the set-id bits of another owner are never kept.
cp -a "$STORE" "$E2E_TMP/store2"
chown -R nobody:nogroup "$E2E_TMP/store2"
cp "$KEYFILE" "$E2E_TMP/key2"
chown nobody "$E2E_TMP/key2"
mkdir "$E2E_TMP/out2"
chown nobody:nogroup "$E2E_TMP/out2"
stranger "$BUILD/tavni-server" restore --store "$E2E_TMP/store2" --user "$USER_ID" \
  --acckey-file "$E2E_TMP/key2" --same-owner --to "$E2E_TMP/out2" "/1/Root$SRC/suid.bin" \
  >"$E2E_TMP/nobody.out" 2>&1 || fail "restore as nobody: $(cat "$E2E_TMP/nobody.out")"
[ "$(owner_of "$E2E_TMP/out2/suid.bin")" = nobody:nogroup ] ||
  fail "restore as nobody: owner $(owner_of "$E2E_TMP/out2/suid.bin")"
[ "$(mode_of "$E2E_TMP/out2/suid.bin")" = 755 ] ||
  fail "restore as nobody: mode $(mode_of "$E2E_TMP/out2/suid.bin")"
grep -q "suid.bin: set-user-id and set-group-id bits dropped" "$E2E_TMP/nobody.out" ||
  fail "restore as nobody: no note: $(cat "$E2E_TMP/nobody.out")"
echo "hostile_restore: ok"

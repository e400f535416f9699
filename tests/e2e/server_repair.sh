#!/usr/bin/env bash
# Damaged blocks are found and mended: verify reports every damaged block and
# fails; the agent's next run sends those blocks again, after which verify is
# clean and the restore byte-identical. The restore gives files back their
# access, refuses to overwrite without --overwrite, and init leaves an
# existing folder's access alone.
source "$(dirname "$0")/lib/backup_env.sh"
setup_install
start_server

SRC=$E2E_TMP/r
mkdir -p "$SRC/sub"
head -c $((3 * 1048576 + 99)) /dev/urandom >"$SRC/big.bin"
head -c 5000 /dev/urandom >"$SRC/sub/key.pem"
printf '#!/bin/sh\necho hi\n' >"$SRC/sub/run.sh"
chmod 600 "$SRC/sub/key.pem"
chmod 750 "$SRC/sub/run.sh"
make_schedule "$INSTALL/r.tbs" --dest /1 --name repair --src "$SRC"
rm -f "$INSTALL/r.tbs.log"; run_agent "$INSTALL/r.tbs"
LOG=$INSTALL/r.tbs.log
verify() { "$BUILD/tavni-server" verify --store "$STORE" --acckey-file "$KEYFILE" >"$E2E_TMP/verify.out" 2>&1; }
verify || { cat "$E2E_TMP/verify.out"; fail "verify found damage after the first run"; }

# One block with a byte flipped, one cut short (a packed block's record
# keeps its length: a byte of it is flipped instead).
mapfile -t BLOCKS < <(python3 "$(dirname "$0")/lib/stored_blocks.py" "$STORE")
[ "${#BLOCKS[@]}" -ge 3 ] || fail "expected at least 3 stored blocks"
flip_byte() { # path, offset
  local byte
  byte=$(od -An -tu1 -j "$2" -N 1 "$1" | tr -d ' ')
  printf "$(printf '\\%03o' $(((byte + 1) % 256)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
read -r path at _ <<<"${BLOCKS[0]}"
flip_byte "$path" $((at + 40))
read -r path at _ <<<"${BLOCKS[1]}"
if [ "$at" = 0 ]; then truncate -s -16 "$path"; else flip_byte "$path" $((at + 40)); fi
rc=0; verify || rc=$?
[ "$rc" != 0 ] || fail "verify did not fail on damaged blocks"
[ "$(grep -c '^DAMAGED' "$E2E_TMP/verify.out")" = 2 ] || { cat "$E2E_TMP/verify.out"; fail "expected 2 damaged blocks reported"; }
grep -q "2 damaged, 2 blocks damaged or missing\|1 damaged, 2 blocks damaged or missing" "$E2E_TMP/verify.out" \
  || { cat "$E2E_TMP/verify.out"; fail "summary line"; }

# The next run does not trust its index and sends the damaged blocks again.
rm -f "$INSTALL/r.tbs.log"; run_agent "$INSTALL/r.tbs"
expect_log "$LOG" "Not using FCI cache."
expect_log "$LOG" "Backup job completed normally."
verify || { cat "$E2E_TMP/verify.out"; fail "verify still finds damage after the repairing run"; }
restore "/1/Root$SRC" "$E2E_TMP/out"
diff -r "$SRC" "$E2E_TMP/out/r" || fail "restore after the repair differs"
[ "$(stat -c %a "$E2E_TMP/out/r/sub/key.pem")" = 600 ] || fail "key.pem mode $(stat -c %a "$E2E_TMP/out/r/sub/key.pem")"
[ "$(stat -c %a "$E2E_TMP/out/r/sub/run.sh")" = 750 ] || fail "run.sh mode $(stat -c %a "$E2E_TMP/out/r/sub/run.sh")"

# Restoring over existing files needs --overwrite.
echo "local change" >"$E2E_TMP/out/r/sub/run.sh"
if restore "/1/Root$SRC" "$E2E_TMP/out" 2>/dev/null; then fail "restore overwrote an existing file"; fi
grep -q "local change" "$E2E_TMP/out/r/sub/run.sh" || fail "the existing file was changed"
"$BUILD/tavni-server" restore --store "$STORE" --user "$USER_ID" --acckey-file "$KEYFILE" --overwrite \
  --to "$E2E_TMP/out" "/1/Root$SRC" >/dev/null || fail "restore --overwrite failed"
cmp "$SRC/sub/run.sh" "$E2E_TMP/out/r/sub/run.sh" || fail "--overwrite did not restore run.sh"

# init on an existing folder: an empty one keeps its access, a full one is refused.
mkdir -m 755 "$E2E_TMP/shared"
"$BUILD/tavni-server" init --store "$E2E_TMP/shared" >/dev/null || fail "init on an empty folder"
[ "$(stat -c %a "$E2E_TMP/shared")" = 755 ] || fail "init changed an existing folder's access"
mkdir "$E2E_TMP/full"; echo mine >"$E2E_TMP/full/notes.txt"
if "$BUILD/tavni-server" init --store "$E2E_TMP/full" 2>"$E2E_TMP/init.err"; then fail "init took a full folder"; fi
grep -q "not empty" "$E2E_TMP/init.err" || fail "init refusal: $(cat "$E2E_TMP/init.err")"
echo "server_repair: ok"

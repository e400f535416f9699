#!/usr/bin/env bash
# Paths at the agent's limit: a file and a folder whose paths reach 1,023
# characters are failed items, each with a line and counted in the report,
# while a neighbour one character shorter is sent; what is reported restores,
# also after one more run.
source "$(dirname "$0")/lib/backup_env.sh"
setup_install
start_server

SRC=$E2E_TMP/l
deep=$SRC
while [ ${#deep} -lt 780 ]; do deep=$deep/$(printf '%0200d' 0); done
n=$((1023 - ${#deep} - 1))
long_file=$deep/$(printf 'f%.0s' $(seq "$n"))
long_folder=$deep/$(printf 'g%.0s' $(seq "$n"))
fits=$deep/$(printf 'h%.0s' $(seq $((n - 1))))
mkdir -p "$long_folder"
echo long >"$long_file"
echo inner >"$long_folder/inner.txt"
echo fits >"$fits"
# Not mirrored, so that the server's paths stay shorter than the local ones.
make_schedule "$INSTALL/l.tbs" --dest /1 --name long --mirror 0 --src "$SRC" \
  --schedule-email "0,owner@example.com" --html 0
LOG=$INSTALL/l.tbs.log
for run in first second; do
  run_agent "$INSTALL/l.tbs"
  for p in "$long_file" "$long_folder"; do
    log_has_line "$LOG" "ITEM: ERROR: path of '$p' is too long (1023 characters, at most 1022); skipping." \
      || fail "no line for ...${p: -20} ($run run)"
  done
  [ $run = second ] || expect_log "$LOG" "FILE: Successfully backed up '$fits'"
  "$BUILD/tavni-server" mail list --store "$STORE" | tail -1 | cut -d' ' -f1 >"$E2E_TMP/mail.id"
  "$BUILD/tavni-server" mail show --store "$STORE" "$(cat "$E2E_TMP/mail.id")" | grep -qE "Files failed +2" \
    || fail "the report does not count the two long paths as failed ($run run)"
  rm -rf "$E2E_TMP/out" "$E2E_TMP/expected"
  restore /1/l "$E2E_TMP/out"
  cp -a "$SRC" "$E2E_TMP/expected"
  rm -rf "$E2E_TMP/expected${long_file#"$SRC"}" "$E2E_TMP/expected${long_folder#"$SRC"}"
  diff -r "$E2E_TMP/expected" "$E2E_TMP/out/l" >/dev/null || fail "the restore differs ($run run)"
done
echo "backup_long_paths: ok"

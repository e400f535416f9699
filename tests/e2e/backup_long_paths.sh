#!/usr/bin/env bash
# Paths at the agent's limit: a file and a folder whose paths reach 1,023
# characters are failed items, each with a line in the job log and an entry
# in the report (never left out without a word), while a neighbour one
# character shorter is backed up; what is reported restores, also after
# one more run.
source "$(dirname "$0")/lib/backup_env.sh"
setup_install
start_server

SRC=$E2E_TMP/l
deep=$SRC
component=$(printf '%0200d' 0)
while [ ${#deep} -lt 780 ]; do deep=$deep/$component; done
n=$((1023 - ${#deep} - 1)) # a name that makes a path of 1,023 characters
long_file=$deep/$(printf 'f%.0s' $(seq "$n"))
long_folder=$deep/$(printf 'g%.0s' $(seq "$n"))
fits=$deep/$(printf 'h%.0s' $(seq $((n - 1))))
mkdir -p "$long_folder"
echo long >"$long_file"
echo inner >"$long_folder/inner.txt"
echo fits >"$fits"
echo top >"$SRC/top.txt"
[ ${#long_file} = 1023 ] && [ ${#fits} = 1022 ] || fail "test set-up: lengths ${#long_file}, ${#fits}"

# Not mirrored: the server names the source by its last element, so the
# server's paths stay shorter than the local ones.
make_schedule "$INSTALL/l.tbs" --dest /1 --name long --mirror 0 --src "$SRC" \
  --schedule-email "0,owner@example.com" --html 0
LOG=$INSTALL/l.tbs.log
report_failed() {
  "$BUILD/tavni-server" mail list --store "$STORE" | tail -1 | cut -d' ' -f1 >"$E2E_TMP/mail.id"
  "$BUILD/tavni-server" mail show --store "$STORE" "$(cat "$E2E_TMP/mail.id")" >"$E2E_TMP/report.txt"
  grep -qE "Files failed +2" "$E2E_TMP/report.txt" || { cat "$E2E_TMP/report.txt"; fail "the report does not count the two long paths as failed ($1)"; }
  for p in "$long_file" "$long_folder"; do
    grep -qF "${p:0:200}" "$E2E_TMP/report.txt" || fail "the report does not name ${p:0:60}... ($1)"
  done
}
check_run() {
  for p in "$long_file" "$long_folder"; do
    log_has_line "$LOG" "ITEM: ERROR: path of '$p' is too long (1023 characters, at most 1022); skipping." \
      || fail "no line for ${p: -20} ($1)"
  done
  expect_no_log "$LOG" "inner.txt"
  expect_log "$LOG" "Backup job completed normally."
  report_failed "$1"
  rm -rf "$E2E_TMP/out"
  restore /1/l "$E2E_TMP/out"
  # Everything but the two long paths is on the server, byte for byte.
  cp -a "$SRC" "$E2E_TMP/expected"
  rm -rf "$E2E_TMP/expected${long_file#"$SRC"}" "$E2E_TMP/expected${long_folder#"$SRC"}"
  diff -r "$E2E_TMP/expected" "$E2E_TMP/out/l" >/dev/null || fail "the restore differs from the backed-up tree ($1)"
  rm -rf "$E2E_TMP/expected"
}
run_agent "$INSTALL/l.tbs"
expect_log "$LOG" "FILE: Successfully backed up '$fits'"
check_run "first run"
run_agent "$INSTALL/l.tbs"
check_run "second run"
echo "backup_long_paths: ok"

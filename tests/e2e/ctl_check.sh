#!/usr/bin/env bash
# tavni-ctl check against a working installation (every line "ok", exit 0),
# then with one thing broken at a time: each break must give its own FAIL
# line with the fix, and exit code 1.
TAVNI_BUILD_DIR=$(cd "${TAVNI_BUILD_DIR:-$(dirname "$0")/../../build}" && pwd)
# shellcheck source=lib/backup_env.sh
source "$(dirname "$0")/lib/backup_env.sh"

SRC=$E2E_TMP/src
mkdir -p "$SRC"
echo data >"$SRC/a.txt"
setup_install
start_server
make_schedule "$INSTALL/job.tbs" --dest /1/Today --name checked --src "$SRC" --sync "$SRC"
OUT=$E2E_TMP/check.out

# check_rc EXPECTED [SCHEDULE...]: runs the check, its output in OUT.
check_rc() {
  local want=$1 rc=0
  shift
  # From a folder of its own: a relative schedule name is looked for there first.
  (cd "$E2E_TMP" && ctl_run check --root "$INSTALL" "$@") >"$OUT" 2>"$E2E_TMP/check.err" || rc=$?
  [ "$rc" = "$want" ] || fail "check exited $rc, not $want: $(cat "$OUT" "$E2E_TMP/check.err")"
}
expect_out() { grep -qF -- "$1" "$OUT" || fail "no '$1' in: $(cat "$OUT")"; }
# Every line is "ok   ..." or "FAIL ...: ...; fix: ...".
well_formed() {
  grep -vE '^(ok   .+|FAIL .+: .+; fix: .+)$' "$OUT" && fail "lines out of form: $(cat "$OUT")"
  return 0
}
fails() { grep -c '^FAIL' "$OUT" || true; }

# --- a working installation ----------------------------------------------------
check_rc 0
well_formed
expect_out "ok   installation folder '$INSTALL' exists and is writable"
expect_out "ok   server list etc/hosts lists 127.0.0.1:$TAVNI_SERVER_PORT"
expect_out "ok   server 127.0.0.1:$TAVNI_SERVER_PORT answers and completes the key exchange"
expect_out "ok   machine key etc/tavni.ak is there and readable"
expect_out "ok   mail templates etc/*.emt (6) are there"
expect_out "ok   schedule '$INSTALL/job.tbs' decrypts and its values are sound"
expect_out "ok   schedule '$INSTALL/job.tbs' logs in as user $USER_ID (account 'acme')"
[ "$(fails)" = 0 ] || fail "failures in a working installation"
# The log-in leaves no user lock behind: a backup runs at once afterwards.
run_agent "$INSTALL/job.tbs"
expect_log "$INSTALL/job.tbs.log" "User lock obtained; Ready to begin."
# A schedule named by its file name is found in the installation folder.
check_rc 0 job.tbs
expect_out "ok   schedule '$INSTALL/job.tbs' logs in"

# --- no server list ----------------------------------------------------------------
mv "$INSTALL/etc/hosts" "$E2E_TMP/hosts"
check_rc 1
well_formed
expect_out "FAIL server list etc/hosts: cannot open '$INSTALL/etc/hosts'"
expect_out "fix: write the backup server as HOST:PORT into it"
expect_out "FAIL schedule '$INSTALL/job.tbs' log-in: not tried"
mv "$E2E_TMP/hosts" "$INSTALL/etc/hosts"

# --- the same checks for a script: one JSON object ----------------------------------
# json_checks OUT: "OK<TAB>WHAT<TAB>PROBLEM<TAB>FIX" per check, after the
# object's own sums are found to agree with its checks.
json_checks() {
  python3 - "$1" <<'PY'
import json, sys
o = json.load(open(sys.argv[1]))
bad = [c for c in o["checks"] if not c["ok"]]
assert o["failures"] == len(bad) and o["ok"] == (not bad), o
for c in o["checks"]:
    print("\t".join([str(c["ok"]), c["what"], c.get("problem", "-"), c.get("fix", "-")]))
PY
}
check_rc 0 --json
json_checks "$OUT" >"$E2E_TMP/checks" || fail "check --json is no sound object: $(cat "$OUT")"
grep -qxF "True	schedule '$INSTALL/job.tbs' logs in as user $USER_ID (account 'acme')	-	-" \
  "$E2E_TMP/checks" || fail "check --json: $(cat "$E2E_TMP/checks")"
mv "$INSTALL/etc/hosts" "$E2E_TMP/hosts"
check_rc 1 --json
json_checks "$OUT" >"$E2E_TMP/checks" || fail "check --json is no sound object: $(cat "$OUT")"
grep -qF "False	server list etc/hosts	cannot open '$INSTALL/etc/hosts'" "$E2E_TMP/checks" ||
  fail "check --json of a missing server list: $(cat "$E2E_TMP/checks")"
mv "$E2E_TMP/hosts" "$INSTALL/etc/hosts"

# --- lines the agent ignores, and a wrong port ---------------------------------------
good_hosts=$(cat "$INSTALL/etc/hosts")
printf '# comment\nbackup.example.com\n127.0.0.1:99999\n' >"$INSTALL/etc/hosts"
check_rc 1
expect_out "FAIL server list etc/hosts line 2 'backup.example.com': ignored: it is not HOST:PORT; fix:"
expect_out "FAIL server list etc/hosts line 3 '127.0.0.1:99999': the host is empty or the port"
expect_out "FAIL server list etc/hosts: no valid HOST:PORT line"
# A port where nothing listens: the server itself is named.
port=$(grep -o '[0-9]*$' <<<"$good_hosts")
closed=1
while [ "$closed" = "$port" ] || (exec 3<>"/dev/tcp/127.0.0.1/$closed") 2>/dev/null; do
  closed=$((closed + 1))
done
echo "127.0.0.1:$closed" >"$INSTALL/etc/hosts"
check_rc 1
well_formed
expect_out "FAIL server 127.0.0.1:$closed: cannot connect"
expect_out "fix: start the server, or correct the host or port in etc/hosts"
printf '%s\n%s\n%s\n' "$good_hosts" "$good_hosts" "$good_hosts" >"$INSTALL/etc/hosts"
check_rc 1
expect_out "FAIL server list etc/hosts line 3 '$good_hosts': ignored: the agent uses only the first two servers"
echo "$good_hosts" >"$INSTALL/etc/hosts"
check_rc 0

# --- a wrong account key ------------------------------------------------------------
printf '%s\n' "ff${ACCKEY:2}" >"$E2E_TMP/wrongkey"
ctl_run schedule new --root "$INSTALL" --user-id "$USER_ID" --acckey-file "$E2E_TMP/wrongkey" \
  --dest /1/Today --name wrong --src "$SRC" "$INSTALL/wrong.tbs" >/dev/null
check_rc 1 wrong.tbs
well_formed
expect_out "FAIL schedule '$INSTALL/wrong.tbs' log-in: the server refuses user $USER_ID with this schedule's account key; fix:"
expect_out "tavni-ctl schedule show-key"
[ "$(fails)" = 1 ] || fail "more than the log-in failed: $(cat "$OUT")"
rm "$INSTALL/wrong.tbs"
# The server now turns this address away for 250 ms (its connections are
# closed at once); the checks below need it to answer again.
sleep 0.3

# --- a missing source, a misspelled key, spaces around "=" -------------------------------
# write_plain NAME LINES...: a schedule of these lines after the working one's.
write_plain() {
  local name=$1
  shift
  ctl_run schedule decrypt --root "$INSTALL" "$INSTALL/job.tbs" >"$E2E_TMP/plain.txt"
  printf '%s\n' "$@" >>"$E2E_TMP/plain.txt"
  ctl_run schedule encrypt --root "$INSTALL" "$E2E_TMP/plain.txt" "$INSTALL/$name"
  rm "$E2E_TMP/plain.txt"
}
write_plain missing.tbs "Src=$SRC/gone"
check_rc 1 missing.tbs
expect_out "FAIL schedule '$INSTALL/missing.tbs': Src=: '$SRC/gone' does not exist; fix: correct the path or remove the line"
write_plain spelled.tbs "Srcc=$SRC" "Sync = $SRC" "XSrc= /tmp"
check_rc 1 spelled.tbs
well_formed
expect_out "FAIL schedule '$INSTALL/spelled.tbs' line 11 'Srcc=$SRC': unknown key 'Srcc', the agent ignores the line; fix: spell the key as one of: UserId="
expect_out "FAIL schedule '$INSTALL/spelled.tbs' line 12 'Sync = $SRC': spaces around '='"
expect_out "FAIL schedule '$INSTALL/spelled.tbs' line 13 'XSrc= /tmp': spaces around '='"
expect_out "fix: write it as KEY=VALUE without spaces"
# The account key never shows, not even in a line that is named.
write_plain keyline.tbs "ACCKEY =$ACCKEY"
check_rc 1 keyline.tbs
expect_out "line 11 'ACCKEY =...': spaces around '='"
grep -qF "$ACCKEY" "$OUT" && fail "the account key was printed"
rm "$INSTALL/missing.tbs" "$INSTALL/spelled.tbs" "$INSTALL/keyline.tbs"
check_rc 0

# --- missing templates ------------------------------------------------------------------
mv "$INSTALL/etc/failinfo_html.emt" "$E2E_TMP/"
check_rc 1
expect_out "FAIL mail templates etc/*.emt: missing or empty: etc/failinfo_html.emt; fix: copy the templates"
mv "$E2E_TMP/failinfo_html.emt" "$INSTALL/etc/"

# --- missing machine key -------------------------------------------------------------------
mv "$INSTALL/etc/tavni.ak" "$E2E_TMP/tavni.ak"
check_rc 1
well_formed
expect_out "FAIL machine key etc/tavni.ak: '$INSTALL/etc/tavni.ak' is missing; fix: restore it from a copy"
expect_out "FAIL schedule '$INSTALL/job.tbs': not checked: the machine key cannot be read"
[ -e "$INSTALL/etc/tavni.ak" ] && fail "check made a machine key"
mv "$E2E_TMP/tavni.ak" "$INSTALL/etc/tavni.ak"

# --- a schedule of another machine, an installation folder that is not there ---------------
mkdir -p "$E2E_TMP/other"
ctl_run schedule new --root "$E2E_TMP/other" --user-id 1 --dest /1 --name x --src "$SRC" \
  "$E2E_TMP/other/x.tbs" >/dev/null 2>&1
cp "$E2E_TMP/other/x.tbs" "$INSTALL/x.tbs"
check_rc 1 x.tbs
expect_out "FAIL schedule '$INSTALL/x.tbs': '$INSTALL/x.tbs' does not decrypt with this machine key"
rm "$INSTALL/x.tbs"
ctl_run check --root "$E2E_TMP/none" >"$OUT" 2>&1 && fail "check of a missing folder passed"
expect_out "FAIL installation folder '$E2E_TMP/none': it is not a folder"
check_rc 0
echo "ctl_check: ok"

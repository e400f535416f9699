# Shared set-up for end-to-end backup tests: a fresh server store on loopback,
# an installation folder for the agent, schedules made with tavni-ctl.
# Sourced by the scripts in tests/e2e; needs TAVNI_BUILD_DIR and TAVNI_SOURCE_DIR.
# shellcheck source=e2e.sh
source "$(dirname "${BASH_SOURCE[0]}")/e2e.sh"
SOURCE=${TAVNI_SOURCE_DIR:?}
# shellcheck source=/dev/null
source "$SOURCE/run.d/install.sh"
E2E_TMP=$(mktemp -d "${TMPDIR:-/tmp}/tavni-e2e.XXXXXX")
INSTALL=$E2E_TMP/install
STORE=$E2E_TMP/store
SERVER_PID=
ACCKEY=00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff
USER_ID=7
# Keys go to the programs in files, never on command lines (the process list).
KEYFILE=$E2E_TMP/acckey
printf '%s\n' "$ACCKEY" >"$KEYFILE"

e2e_cleanup() {
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null && wait "$SERVER_PID" 2>/dev/null
  if [ "${E2E_KEEP:-0}" = 1 ]; then echo "kept $E2E_TMP"; else rm -rf "$E2E_TMP"; fi
}
trap e2e_cleanup EXIT

setup_install() {
  mkdir -p "$INSTALL/etc"
  tavni_install_etc "$INSTALL"
}

# Makes the store: on the store folder's own back ends, or, when
# TAVNI_E2E_CATALOG and TAVNI_E2E_BLOCKS name shared ones (a PostgreSQL
# database and an S3 bucket, tests/services/all.sh), on those.
init_store() {
  local be=()
  [ -z "${TAVNI_E2E_CATALOG:-}" ] || be+=(--catalog "$TAVNI_E2E_CATALOG")
  [ -z "${TAVNI_E2E_BLOCKS:-}" ] || be+=(--blocks "$TAVNI_E2E_BLOCKS")
  "$BUILD/tavni-server" init --store "$STORE" "${be[@]}" >"$E2E_TMP/init.out" 2>&1 ||
    fail "init of the store: $(cat "$E2E_TMP/init.out")"
}

start_server() {
  init_store
  "$BUILD/tavni-server" user add --store "$STORE" --id "$USER_ID" --name bob --account acme --acckey-file "$KEYFILE" >/dev/null
  serve_store
}

# Serves the existing store on a free loopback port and points etc/hosts at
# it; arguments are further serve options.
serve_store() {
  local ok=0
  tavni_serve "$BUILD/tavni-server" "$STORE" "$E2E_TMP/server.out" "$@" || ok=$?
  SERVER_PID=$TAVNI_SERVER_PID
  [ "$ok" = 0 ] || fail "server did not start: $(cat "$E2E_TMP/server.out")"
  echo "127.0.0.1:$TAVNI_SERVER_PORT" >"$INSTALL/etc/hosts"
}

# start_agent SCHEDULE: one job in the background; its pid in AGENT. Returns
# once the agent owns the job mailslot; while an agent of another test run
# holds it, ours runs no job, so it waits for that one and starts again.
start_agent() {
  local deadline=$((SECONDS + E2E_WAIT)) before
  while :; do
    wait_no_agent
    before=$(log_head "$INSTALL/agent.log")
    (cd "$INSTALL" && exec ${TAVNI_RUN:+"$TAVNI_RUN"} "$TAVNI_AGENT" background "$1" 2>/dev/null) &
    AGENT=$!
    wait_until mailslot_known "$INSTALL/agent.log" "$before" || fail "the agent never set up its job mailslot"
    mailslot_was_taken "$INSTALL/agent.log" "$before" || return 0
    wait "$AGENT" || true
    [ "$SECONDS" -lt "$deadline" ] || fail "the job mailslot stayed taken"
  done
}

# make_schedule FILE [tavni-ctl schedule new options...]
make_schedule() {
  local out=$1; shift
  ctl_run schedule new --root "$INSTALL" --user-id "$USER_ID" --acckey-file "$KEYFILE" "$@" "$out" >/dev/null
}

# run_agent SCHEDULE: one job, in the installation folder; the exit code must
# be 0. Run again (as start_agent) when the job mailslot was taken.
run_agent() {
  local deadline=$((SECONDS + E2E_WAIT)) before
  while :; do
    wait_no_agent
    before=$(log_head "$INSTALL/agent.log")
    (cd "$INSTALL" && run_program "$TAVNI_AGENT" background "$1") || fail "agent exited $?"
    mailslot_was_taken "$INSTALL/agent.log" "$before" || return 0
    [ "$SECONDS" -lt "$deadline" ] || fail "the job mailslot stayed taken"
  done
}

# restore SERVER_PATH OUTDIR
restore() {
  "$BUILD/tavni-server" restore --store "$STORE" --user "$USER_ID" --acckey-file "$KEYFILE" --to "$2" "$1" >/dev/null
}

# agent_user_owns PATH...: when we are root, gives PATH... to nobody and makes
# as_agent_user run its command as nobody, so that a file the test locks away
# is really unreadable to the agent; otherwise as_agent_user runs as we are.
agent_user_owns() {
  if [ "$(id -u)" = 0 ]; then
    chmod 755 "$E2E_TMP"
    chown -R nobody "$@"
    as_agent_user() { setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"; }
  else
    as_agent_user() { "$@"; }
  fi
}

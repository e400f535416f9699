# Sourced by ./run demo ($ROOT and $BUILD set): the whole chain, for real.
# Starts a reference server on loopback with a fresh store, writes a schedule
# with tavni-ctl, runs the agent on a sample folder, prints the job's report
# and figures, then restores into a new folder and compares byte for byte.
demo_backup() {
  local work inst store src key keyfile server_pid rc
  work=$(mktemp -d "${TMPDIR:-/tmp}/tavni-demo.XXXXXX")
  inst=$work/install store=$work/store src=$work/sample
  key=$(head -c 32 /dev/urandom | od -An -tx1 | tr -d ' \n')
  # The key reaches the programs in a file: a command line is public.
  keyfile=$work/acckey
  (umask 077 && printf '%s\n' "$key" >"$keyfile")
  source "$ROOT/run.d/install.sh"
  tavni_install_etc "$inst"

  echo "== sample folder $src"
  mkdir -p "$src/docs/letters" "$src/photos" "$src/empty"
  seq 1 50000 >"$src/docs/numbers.txt"
  printf 'Dear reader,\nthis file was backed up by Tavni.\n' >"$src/docs/letters/hello.txt"
  head -c $((3 * 1048576 + 4321)) /dev/urandom >"$src/photos/camera-roll.bin"
  : >"$src/docs/empty.txt"

  echo "== server: store $store"
  "$BUILD/tavni-server" init --store "$store" >/dev/null
  "$BUILD/tavni-server" user add --store "$store" --id 42 --name demo --account "Demo Account" --acckey-file "$keyfile" >/dev/null
  rc=0
  tavni_serve "$BUILD/tavni-server" "$store" "$work/server.out" || rc=$?
  server_pid=$TAVNI_SERVER_PID
  cat "$work/server.out"
  if [ "$rc" != 0 ]; then
    echo "== demo: the server did not start" >&2
    kill "$server_pid" 2>/dev/null
    return 1
  fi
  echo "127.0.0.1:$TAVNI_SERVER_PORT" >"$inst/etc/hosts"

  echo "== schedule (tavni-ctl schedule new)"
  "$BUILD/tavni-ctl" schedule new --root "$inst" --user-id 42 --dest /1/Today --name "Demo backup" \
    --acckey-file "$keyfile" --src "$src" --sync "$src" --email "0,owner@example.com" "$inst/demo.tbs" >/dev/null
  "$BUILD/tavni-ctl" schedule decrypt --root "$inst" "$inst/demo.tbs" | grep -v '^acckey='

  echo "== backup (tavni-backup background demo.tbs)"
  (cd "$inst" && "$BUILD/tavni-backup" background "$inst/demo.tbs")
  echo "   agent exit code $?"
  echo "== job log (figures)"
  grep -E 'Total |FILE: Successfully|Backup of files complete|completed normally' "$inst/demo.tbs.log" | sed 's/^/   /'

  echo "== report as the server received it"
  "$BUILD/tavni-server" mail list --store "$store" | tail -3
  "$BUILD/tavni-server" mail show --store "$store" 1 2>/dev/null | sed -n '1,40p'

  echo "== server tree"
  "$BUILD/tavni-server" ls --store "$store" --user 42 "/1/Today/Root$src" | head -20

  echo "== restore into $work/restored and compare"
  "$BUILD/tavni-server" restore --store "$store" --user 42 --acckey-file "$keyfile" --to "$work/restored" "/1/Today/Root$src"
  if diff -r "$src" "$work/restored/sample"; then echo "   restore is byte-identical"; rc=0; else echo "   RESTORE DIFFERS"; rc=1; fi

  kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null
  rm -rf "$work"
  return $rc
}
demo_backup

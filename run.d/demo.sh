# Sourced by ./run demo ($ROOT and $BUILD set, options in DEMO_ARGS): the
# whole chain, for real. Starts a reference server on loopback with a fresh
# store, writes a schedule with tavni-ctl, runs the agent on a sample folder,
# prints the job's figures and its report, lists the stored tree, then
# restores into a new folder and compares every file.
#
#   ./run demo                  everything in a temporary folder, removed at the end
#   ./run demo --keep           leaves the folder and says how to look around
#   ./run demo --html-out FILE  the report as HTML, written to FILE
demo_usage() {
  echo "usage: ./run demo [--keep] [--html-out FILE]" >&2
}

demo_backup() {
  local keep=0 html_out= work inst store src key keyfile server_pid rc
  while [ $# -gt 0 ]; do
    case $1 in
      --keep) keep=1 ;;
      --html-out)
        [ $# -ge 2 ] || { demo_usage; return 2; }
        html_out=$(realpath -m "$2")
        shift
        ;;
      -h | --help) demo_usage; return 0 ;;
      *) demo_usage; return 2 ;;
    esac
    shift
  done
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

  # One recipient; html=0 picks the plain-text report (--html-out: HTML).
  local html=0
  [ -z "$html_out" ] || html=1
  echo "== schedule (tavni-ctl schedule new)"
  "$BUILD/tavni-ctl" schedule new --root "$inst" --user-id 42 --dest /1/Today --name "Demo backup" \
    --acckey-file "$keyfile" --src "$src" --sync "$src" --email "owner@example.com" --html "$html" \
    "$inst/demo.tbs" >/dev/null
  "$BUILD/tavni-ctl" schedule decrypt --root "$inst" "$inst/demo.tbs" | grep -v '^acckey=' | sed 's/^/   /'

  echo "== backup (tavni-backup background demo.tbs, from the installation folder)"
  (cd "$inst" && "$BUILD/tavni-backup" background "$inst/demo.tbs" 2>/dev/null)
  echo "   agent exit code $?"
  echo "== job log $inst/demo.tbs.log (figures)"
  grep -E 'Total |FILE: Successfully|Backup of files complete|completed normally' "$inst/demo.tbs.log" |
    sed -e 's/^/   /' -e "s|$src/||"

  echo "== report as the server received it (tavni-server mail show)"
  "$BUILD/tavni-server" mail list --store "$store" | tail -1 | sed 's/^/   /'
  local mail_id
  mail_id=$("$BUILD/tavni-server" mail list --store "$store" | tail -1 | awk '{print $1}')
  if [ -n "$html_out" ]; then
    "$BUILD/tavni-server" mail show --store "$store" "$mail_id" >"$html_out"
    echo "   the HTML report is in $html_out"
  else
    "$BUILD/tavni-server" mail show --store "$store" "$mail_id" | sed 's/^/   /'
  fi

  echo "== stored tree (tavni-server ls -R)"
  "$BUILD/tavni-server" ls -R --store "$store" --user 42 "/1/Today/Root$src" | sed 's/^/   /'

  echo "== restore into $work/restored, compared file by file"
  "$BUILD/tavni-server" restore --store "$store" --user 42 --acckey-file "$keyfile" \
    --to "$work/restored" "/1/Today/Root$src" >/dev/null
  rc=0
  local f rel a b
  while IFS= read -r f; do
    rel=${f#"$src"/}
    a=$(sha256sum <"$f" | cut -c1-16)
    if [ -f "$work/restored/sample/$rel" ]; then
      b=$(sha256sum <"$work/restored/sample/$rel" | cut -c1-16)
    else
      b=missing
    fi
    if [ "$a" = "$b" ]; then
      printf '   same  %s  %s\n' "$a" "$rel"
    else
      printf '   DIFF  %s  %s  %s\n' "$a" "$b" "$rel"
      rc=1
    fi
  done < <(find "$src" -type f | sort)
  diff -r "$src" "$work/restored/sample" >/dev/null || rc=1
  if [ "$rc" = 0 ]; then echo "   the restore is byte-identical"; else echo "   THE RESTORE DIFFERS"; fi

  kill "$server_pid" 2>/dev/null
  wait "$server_pid" 2>/dev/null
  if [ "$keep" = 1 ]; then
    cat <<EOF
== kept: $work
   install/          the agent's installation folder: etc/hosts, etc/tavni.ak,
                     etc/*.emt, demo.tbs (the schedule), demo.tbs.log, agent.log
   store/            the server's store (catalog and block files)
   sample/           the folder that was backed up; restored/ is its restore
   acckey            the account key (keep such a file private)
   Look around:
     $BUILD/tavni-ctl schedule decrypt --root $inst $inst/demo.tbs
     $BUILD/tavni-server ls -R --store $store --user 42 /
     $BUILD/tavni-server mail list --store $store
   Back up again (change a file first to see it sent):
     $BUILD/tavni-server serve --store $store --listen 127.0.0.1:$TAVNI_SERVER_PORT &
     (cd $inst && $BUILD/tavni-backup background demo.tbs)
   Remove it all with: rm -rf $work
EOF
  else
    rm -rf "$work"
  fi
  return $rc
}
demo_backup "${DEMO_ARGS[@]}"

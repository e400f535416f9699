# Sourced by ./run demo ($ROOT and $BUILD set): the agent process on its own.
# Starts the agent with "background" and a schedule path in a temporary
# installation folder, queues a second job with tavni-ctl during the job wait,
# shows the progress area, and prints agent.log.
demo_agent() {
  local inst agent_pid i
  inst=$(mktemp -d "${TMPDIR:-/tmp}/tavni-demo.XXXXXX")
  mkdir -p "$inst/etc"
  cp "$BUILD/tavni-backup" "$inst/"
  echo "== agent: installation folder $inst"
  (cd "$inst" && exec ./tavni-backup background "$inst/first.tbs" 2>"$inst/debug-output.txt") &
  agent_pid=$!
  for i in $(seq 1 500); do
    grep -q 'for additional jobs via IPC' "$inst/agent.log" 2>/dev/null && break
    sleep 0.02
  done
  echo "== tavni-ctl queue (during the job wait)"
  "$BUILD/tavni-ctl" queue "$inst/second.tbs" || true
  echo "== tavni-ctl progress"
  "$BUILD/tavni-ctl" progress || true
  wait "$agent_pid" && echo "== agent exited with 0" || echo "== agent exited with $?"
  echo "== agent.log"
  cat "$inst/agent.log"
  echo "== job logs"
  ls "$inst"/*.log
  rm -rf "$inst"
}
demo_agent

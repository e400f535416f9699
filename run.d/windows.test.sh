# Sourced by ./run test after the Linux stages: the 32-bit Windows cross
# build, then in a fresh Wine prefix every unit test, the end-to-end checks
# of the real tavni-backup.exe and tavni-ctl.exe (tests/e2e/agent_process.sh,
# run on them), and a backup by the Windows agent to the Linux tavni-server of
# $BUILD, restored and compared.
#
# The programs that Wine runs are the shipped 32-bit build, in Wine's WoW64
# mode, wherever this machine runs 32-bit code (run.d/windows.lib.sh). Where
# it does not, no 32-bit x86 program can run here at all, and the same
# sources built for x86-64 stand in for them: the stage says so, and the
# 32-bit build is still made and checked to be a 32-bit GUI program.
#
# When the cross toolchain, Wine or the mingw libcrypto is missing (which
# run.d/windows.deps.sh reports when it cannot install them), the stage fails
# under CI and skips elsewhere, saying so in the last line of ./run test.
# Every wine command is bounded by `timeout`.

source "$ROOT/run.d/windows.lib.sh"

WIN_BUILD=${TAVNI_WIN_BUILD:-$ROOT/build-win}
# The longest any one Windows program may run under Wine.
WIN_PROGRAM_LIMIT=${TAVNI_WIN_PROGRAM_LIMIT:-600}

win_say() { echo "== windows: $*"; }

win_fail() {
  echo "== windows: FAILED: $*" >&2
  return 1
}

win_have_openssl() { # arch
  [ -f "$(tavni_cache_dir)/openssl-mingw-$1/lib/libcrypto.a" ]
}

# The reason the stage cannot run here, or nothing. Sets WIN_RUN_ARCH: i686
# runs the shipped 32-bit build under wine64 in WoW64 mode; x86_64 runs a
# 64-bit build of the same sources (WIN_NO_32BIT says why).
win_missing_tools() {
  command -v i686-w64-mingw32-g++ >/dev/null || { echo "i686-w64-mingw32-g++ not installed"; return; }
  [ -f /usr/i686-w64-mingw32/lib/libz.a ] || { echo "libz-mingw-w64-dev not installed"; return; }
  win_have_openssl i686 || { echo "no mingw i686 libcrypto in the cache (./run deps builds it)"; return; }
  [ -x /usr/lib/wine/wine64 ] || { echo "wine64 is not installed"; return; }
  WIN_NO_32BIT=$(win_host_runs_32bit_code)
  if [ "$WIN_NO_32BIT" = yes ]; then
    [ -f "$(win_wow64_dll_dir)/.complete" ] ||
      { echo "the 32-bit Wine DLLs are not unpacked in the cache (./run deps does it)"; return; }
    WIN_RUN_ARCH=i686
    return
  fi
  command -v x86_64-w64-mingw32-g++ >/dev/null && win_have_openssl x86_64 ||
    { echo "32-bit code cannot run here and the x86-64 build's toolchain is not installed"; return; }
  WIN_RUN_ARCH=x86_64
}

# The environment of every Wine command of the stage: its prefix, quiet,
# without a display; the 32-bit DLLs where the shipped build runs.
win_env() {
  local env=(WINEPREFIX="$WIN_PREFIX" WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64 WINEDEBUG=-all
    WINEDLLOVERRIDES='mscoree,mshtml=' DISPLAY= XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-/tmp}")
  [ "$WIN_RUN_ARCH" = i686 ] && env+=(WINEDLLPATH="$(win_wow64_dll_dir)")
  printf '%q ' "${env[@]}"
}

# wine with the stage's prefix, quiet, bounded: win_wine SECONDS program args...
win_wine() {
  local limit=$1
  shift
  eval "env $(win_env) timeout -k 5 \"\$limit\" /usr/lib/wine/wine64 \"\$@\""
}

win_wineserver() { # args...
  WINEPREFIX=$WIN_PREFIX timeout 60 /usr/lib/wine/wineserver "$@" 2>/dev/null || true
}

win_prefix_init() {
  rm -rf "$WIN_PREFIX"
  mkdir -p "$WIN_PREFIX"
  win_wine 180 wineboot -i >"$WIN_RUN_BUILD/wineboot.log" 2>&1 ||
    { tail -20 "$WIN_RUN_BUILD/wineboot.log"; win_fail "wineboot could not make the prefix"; return 1; }
  # An unhandled exception must end the process as on a machine without a
  # debugger, not start winedbg. 32-bit programs read the 32-bit view.
  local view
  for view in /reg:64 /reg:32; do
    win_wine 60 reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
      /v Debugger /t REG_SZ /d '' /f "$view" >/dev/null 2>&1 || true
    win_wine 60 reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
      /v Auto /t REG_SZ /d 1 /f "$view" >/dev/null 2>&1 || true
  done
  win_wineserver -w
}

# Linux path -> the same file seen from Wine (drive Z:).
win_path() { printf 'Z:%s' "${1//\//\\}"; }

win_log_has() { # file text
  grep -F -- "$2" "$1" >/dev/null || { echo "--- $1:"; cat "$1"; win_fail "'$2' missing from $(basename "$1")"; }
}

# A runner for the end-to-end helpers (tests/e2e/lib/e2e.sh, TAVNI_RUN): runs
# a program under Wine in the stage's prefix, bounded. Written as a file so
# that the test scripts, started by bash, can run it as a program.
win_write_runner() {
  WIN_RUNNER=$WIN_RUN_BUILD/wine-run
  {
    echo '#!/usr/bin/env bash'
    echo '# Runs a Windows program of the Windows stage under Wine (made by run.d/windows.test.sh).'
    printf 'exec env %s timeout -k 5 %q /usr/lib/wine/wine64 "$@"\n' "$(win_env)" "$WIN_PROGRAM_LIMIT"
  } >"$WIN_RUNNER"
  chmod +x "$WIN_RUNNER"
}

# The end-to-end scripts that run on the Windows programs too, with the
# program variables of tests/e2e/lib/e2e.sh pointed at the .exe files.
WIN_E2E_SCRIPTS=(agent_process.sh)
win_e2e_scripts() {
  local script out
  for script in "${WIN_E2E_SCRIPTS[@]}"; do
    out=$WIN_RUN_BUILD/e2e-${script%.sh}.log
    TAVNI_BUILD_DIR=$WIN_RUN_BUILD TAVNI_SOURCE_DIR=$ROOT TAVNI_TARGET=windows TAVNI_RUN=$WIN_RUNNER \
      TAVNI_AGENT=$WIN_RUN_BUILD/tavni-backup.exe TAVNI_CTL=$WIN_RUN_BUILD/tavni-ctl.exe \
      TAVNI_WINE_WOW64=$([ "$WIN_RUN_ARCH" = i686 ] && echo 1 || echo 0) \
      bash "$ROOT/tests/e2e/$script" >"$out" 2>&1 || { cat "$out"; win_fail "tests/e2e/$script under Wine"; return 1; }
    win_say "tests/e2e/$script: ok"
  done
}

# Files of 4 GiB and more from the Windows agent to the Linux server: the
# native tavni-ctl writes the schedules, the agent runs under Wine.
win_large_sparse() {
  local out=$WIN_RUN_BUILD/e2e-large_sparse.log
  TAVNI_BUILD_DIR=$BUILD TAVNI_SOURCE_DIR=$ROOT TAVNI_TARGET=windows TAVNI_RUN=$WIN_RUNNER \
    TAVNI_AGENT=$WIN_RUN_BUILD/tavni-backup.exe TAVNI_CTL=$BUILD/tavni-ctl TAVNI_CTL_RUN= \
    bash "$ROOT/tests/e2e/large_sparse.sh" >"$out" 2>&1 ||
    { cat "$out"; win_fail "tests/e2e/large_sparse.sh under Wine"; return 1; }
  win_say "tests/e2e/large_sparse.sh: ok"
}

# The Windows agent against the recording peer (a native program of the
# Linux build): whole jobs that must keep the protocol, and a first job that
# must send the same requests as the Linux agent's (tests/e2e/wire_audit.sh).
win_wire_audit() {
  local out=$WIN_RUN_BUILD/e2e-wire_audit.log
  if [ ! -x "$BUILD/tavni-wire-peer" ] || [ ! -x "$BUILD/tavni-ctl" ]; then
    win_say "NOT RUN: no Linux tavni-wire-peer and tavni-ctl in $BUILD; the wire audit unchecked"
    return 0
  fi
  TAVNI_BUILD_DIR=$BUILD TAVNI_SOURCE_DIR=$ROOT TAVNI_TARGET=windows TAVNI_RUN=$WIN_RUNNER \
    TAVNI_AGENT=$WIN_RUN_BUILD/tavni-backup.exe TAVNI_CTL=$BUILD/tavni-ctl TAVNI_CTL_RUN= \
    bash "$ROOT/tests/e2e/wire_audit.sh" >"$out" 2>&1 ||
    { cat "$out"; win_fail "tests/e2e/wire_audit.sh under Wine"; return 1; }
  win_say "tests/e2e/wire_audit.sh: ok"
}

# What only the Windows stage checks: "background" without a path waits 30
# seconds for jobs; two are queued over the real mailslot with tavni-ctl.exe,
# their paths unchanged (spaces, and 1023 characters), and the progress area
# is read meanwhile.
win_job_wait_check() {
  local run=$WIN_RUN_BUILD/agent-run rc agent_pid job2 job3 deadline
  local log=$run/agent.log progress_out=$run/progress.txt
  rm -rf "$run"
  mkdir -p "$run/etc" "$run/jobs"
  cp "$WIN_RUN_BUILD/tavni-backup.exe" "$run/"
  job2=$(win_path "$run/jobs/queued job 2.tbs")
  job3=$(win_path "$run/jobs/")
  job3=$job3$(printf '%*s' $((1023 - ${#job3} - 4)) '' | tr ' ' 'L').tbs
  (cd "$run" && exec "$WIN_RUNNER" ./tavni-backup.exe background) >"$run/agent.out" 2>&1 &
  agent_pid=$!
  # The wait is announced once the mailslot is set up; the status is read
  # before any job can change it.
  deadline=$((SECONDS + ${TAVNI_E2E_WAIT:-120}))
  until grep -qF "Waiting 30 second(s) for additional jobs via IPC." "$log" 2>/dev/null; do
    [ "$SECONDS" -lt "$deadline" ] && kill -0 "$agent_pid" 2>/dev/null ||
      { cat "$log" 2>/dev/null; win_fail "the agent never waited for jobs"; return 1; }
    sleep 0.05
  done
  "$WIN_RUNNER" "$WIN_RUN_BUILD/tavni-ctl.exe" progress >"$progress_out" 2>&1 || true
  rc=0
  "$WIN_RUNNER" "$WIN_RUN_BUILD/tavni-ctl.exe" queue --as-is "$job2" >"$run/queue.out" 2>&1 &&
    "$WIN_RUNNER" "$WIN_RUN_BUILD/tavni-ctl.exe" queue --as-is "$job3" >>"$run/queue.out" 2>&1 || rc=1
  [ "$rc" = 0 ] || { cat "$run/queue.out"; win_fail "tavni-ctl.exe queue did not reach the agent"; return 1; }
  wait "$agent_pid" || rc=$?
  [ "$rc" = 0 ] || win_fail "background without a path: exit code $rc, expected 0" || return 1
  win_log_has "$log" "No initial backup schedule specified; Waiting to receive via IPC." || return 1
  win_log_has "$log" "procjob('$job2') begin" || return 1
  win_log_has "$log" "procjob('$job2') completed" || return 1
  win_log_has "$log" "procjob('$job3') begin" || return 1
  win_log_has "$progress_out" "Checking for additional jobs..." || return 1
  win_say "jobs queued with tavni-ctl.exe over the mailslot (spaces, 1023 characters), progress read back: ok"
}

# The Windows agent backs up to the Linux tavni-server over loopback: the
# first run sends a mixed tree that restores byte for byte, the second finds
# every file current through the change index and sends nothing; then the
# same folder as a mirrored one has what vanished from it deleted on the
# server.
win_backup_check() {
  local inst=$WIN_RUN_BUILD/backup-run rc
  local server=$BUILD/tavni-server ctl=$BUILD/tavni-ctl
  local acckey=00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff
  if [ ! -x "$server" ] || [ ! -x "$ctl" ]; then
    win_fail "no Linux tavni-server and tavni-ctl in $BUILD for the backup checks"
    return 1
  fi
  rm -rf "$inst"
  mkdir -p "$inst/data/a/b" "$inst/data/with space"
  # shellcheck source=/dev/null
  source "$ROOT/run.d/install.sh"
  tavni_install_etc "$inst" || { win_fail "templates not installed"; return 1; }
  : >"$inst/data/empty.txt"
  seq 1 100000 >"$inst/data/a/numbers.txt"
  head -c $((3 * 1048576 + 77)) /dev/urandom >"$inst/data/a/b/random.bin"
  echo small >"$inst/data/with space/small file.txt"
  # Keys reach the programs in a file: a command line is public.
  local keyfile=$inst/acckey
  (umask 077 && printf '%s\n' "$acckey" >"$keyfile")

  "$server" init --store "$inst/store" >/dev/null &&
    "$server" user add --store "$inst/store" --id 7 --name bob --account acme --acckey-file "$keyfile" >/dev/null ||
    { win_fail "tavni-server store not made"; return 1; }
  rc=0
  tavni_serve "$server" "$inst/store" "$inst/server.out" || rc=1
  if [ "$rc" != 0 ]; then
    cat "$inst/server.out"
    win_fail "tavni-server did not start"
  else
    echo "127.0.0.1:$TAVNI_SERVER_PORT" >"$inst/etc/hosts"
    "$ctl" schedule new --root "$inst" --user-id 7 --acckey-file "$keyfile" --dest /1/Today \
      --name "wine backup" --src "$(win_path "$inst/data")" "$inst/job.tbs" >/dev/null &&
      "$ctl" schedule new --root "$inst" --user-id 7 --acckey-file "$keyfile" --dest /1/Today \
        --name "wine mirror" --src "$(win_path "$inst/data")" --sync "$(win_path "$inst/data")" \
        "$inst/mirror.tbs" >/dev/null &&
      cp "$WIN_RUN_BUILD/tavni-backup.exe" "$inst/" ||
      { win_fail "schedule not made"; rc=1; }
    [ "$rc" = 0 ] && { win_backup_runs "$inst" "$keyfile" || rc=1; }
  fi
  kill "$TAVNI_SERVER_PID" 2>/dev/null
  wait "$TAVNI_SERVER_PID" 2>/dev/null
  return "$rc"
}

win_backup_runs() { # installation folder, account key file
  local inst=$1 keyfile=$2 log=$1/job.tbs.log rc=0 job
  job=$(win_path "$inst/job.tbs")
  (cd "$inst" && win_wine 300 ./tavni-backup.exe background "$job") >/dev/null 2>&1 || rc=$?
  [ "$rc" = 0 ] || { tail -30 "$log"; win_fail "first backup: exit code $rc"; return 1; }
  win_log_has "$log" "User lock obtained; Ready to begin." || return 1
  win_log_has "$log" "Backup job completed normally." || return 1
  [ "$(grep -c "FILE: Successfully backed up" "$log")" = 4 ] ||
    { cat "$log"; win_fail "first backup: expected 4 files sent"; return 1; }
  "$BUILD/tavni-server" restore --store "$inst/store" --user 7 --acckey-file "$keyfile" --to "$inst/out" \
    "/1/Today/Z Drive$inst/data" >/dev/null ||
    { win_fail "restore of the Windows backup"; return 1; }
  diff -r "$inst/data" "$inst/out/data" || { win_fail "restored tree differs"; return 1; }
  win_say "backup of a Wine drive to the Linux server, restored byte for byte: ok"
  win_ctl_restore "$inst" "$keyfile" || return 1

  (cd "$inst" && win_wine 300 ./tavni-backup.exe background "$job") >/dev/null 2>&1 || rc=$?
  [ "$rc" = 0 ] || { tail -30 "$log"; win_fail "second backup: exit code $rc"; return 1; }
  win_log_has "$log" "Using FCI cache." || return 1
  [ "$(grep -c "FILE: Current; Not backing up" "$log")" = 4 ] ||
    { cat "$log"; win_fail "second backup: expected 4 current files"; return 1; }
  ! grep -q "FILE: Successfully backed up" "$log" ||
    { win_fail "second backup sent files again"; return 1; }
  win_say "unchanged rerun finds every file current through the change index: ok"

  rm -r "$inst/data/with space"
  job=$(win_path "$inst/mirror.tbs")
  log=$inst/mirror.tbs.log
  (cd "$inst" && win_wine 300 ./tavni-backup.exe background "$job") >/dev/null 2>&1 || rc=$?
  [ "$rc" = 0 ] || { tail -30 "$log"; win_fail "mirror backup: exit code $rc"; return 1; }
  ! grep -q "FILE: Successfully backed up" "$log" || { win_fail "mirror backup sent files again"; return 1; }
  win_log_has "$log" "SYNC OBJECT: '/1/Today/Z Drive$inst/data/with space' is gone; deleting from server." ||
    return 1
  ! "$BUILD/tavni-server" ls --store "$inst/store" --user 7 "/1/Today/Z Drive$inst/data" | grep -q "with space" ||
    { win_fail "the vanished folder is still current on the server"; return 1; }
  win_say "a folder gone from the mirrored source is deleted on the server: ok"

  win_killed_job "$inst" "$keyfile"
}

# tavni-ctl.exe restores the same tree from the Linux server on the
# Windows side (the blocks decrypted there, the key never sent), a second
# restore finds every file whole, and verify --read-data reads every block.
win_ctl_restore() { # installation folder, account key file
  local inst=$1 keyfile=$2 out=$1/ctl-out log=$1/ctl-restore.log
  local read=(--server "127.0.0.1:$TAVNI_SERVER_PORT" --user 7 --acckey-file "$(win_path "$keyfile")")
  rm -rf "$out"
  mkdir -p "$out"
  "$WIN_RUNNER" "$WIN_RUN_BUILD/tavni-ctl.exe" restore "${read[@]}" --to "$(win_path "$out")" \
    "/1/Today/Z Drive$inst/data" >"$log" 2>&1 || { cat "$log"; win_fail "tavni-ctl.exe restore"; return 1; }
  diff -r "$inst/data" "$out/data" || { win_fail "tree restored by tavni-ctl.exe differs"; return 1; }
  "$WIN_RUNNER" "$WIN_RUN_BUILD/tavni-ctl.exe" restore "${read[@]}" --to "$(win_path "$out")" \
    "/1/Today/Z Drive$inst/data" >"$log" 2>&1 || { cat "$log"; win_fail "second tavni-ctl.exe restore"; return 1; }
  grep -q "restored 0 files (0 bytes), 4 already whole" "$log" ||
    { cat "$log"; win_fail "the second restore by tavni-ctl.exe did not find every file whole"; return 1; }
  "$WIN_RUNNER" "$WIN_RUN_BUILD/tavni-ctl.exe" verify --read-data "${read[@]}" >"$log" 2>&1 ||
    { cat "$log"; win_fail "tavni-ctl.exe verify --read-data"; return 1; }
  win_say "tavni-ctl.exe restore from the Linux server, byte for byte, then whole on a rerun; verify --read-data: ok"
}

# The Windows agent killed in the middle of a job (the Windows process itself,
# as a crash or TerminateProcess would end it): the next run completes, sends
# what the killed one had not stored, and the tree restores byte for byte.
win_killed_job() { # installation folder, account key file
  local inst=$1 keyfile=$2 log=$1/job.tbs.log job agent rc=0 large deadline
  job=$(win_path "$inst/job.tbs")
  large=$inst/data/a/large.bin
  head -c $((64 * 1048576)) /dev/urandom >"$large"
  (cd "$inst" && exec "$WIN_RUNNER" ./tavni-backup.exe background "$job") >/dev/null 2>&1 &
  agent=$!
  disown "$agent" # its end by SIGKILL is expected: no notice of it
  deadline=$((SECONDS + ${TAVNI_E2E_WAIT:-120}))
  until grep -qF "FILE: '$(win_path "$large")' ..." "$log" 2>/dev/null; do
    [ "$SECONDS" -lt "$deadline" ] && kill -0 "$agent" 2>/dev/null ||
      { tail -20 "$log"; win_fail "the job never began sending large.bin"; return 1; }
    sleep 0.05
  done
  # The runner's children: timeout, then the agent's own Wine process.
  pkill -KILL -f 'tavni-backup\.exe background' || true
  while kill -0 "$agent" 2>/dev/null; do sleep 0.05; done
  ! grep -qF "Backup job completed normally." "$log" ||
    win_say "(the job had already ended when it was killed; the check below still runs)"
  win_wineserver -w
  (cd "$inst" && win_wine 300 ./tavni-backup.exe background "$job") >/dev/null 2>&1 || rc=$?
  [ "$rc" = 0 ] || { tail -30 "$log"; win_fail "the run after the kill: exit code $rc"; return 1; }
  win_log_has "$log" "Backup job completed normally." || return 1
  rm -rf "$inst/out"
  "$BUILD/tavni-server" restore --store "$inst/store" --user 7 --acckey-file "$keyfile" --to "$inst/out" \
    "/1/Today/Z Drive$inst/data" >/dev/null || { win_fail "restore after the killed job"; return 1; }
  diff -r "$inst/data" "$inst/out/data" || { win_fail "the tree restored after a killed job differs"; return 1; }
  "$BUILD/tavni-server" verify --store "$inst/store" --acckey-file "$keyfile" >/dev/null ||
    { win_fail "verify after the killed job"; return 1; }
  win_say "a job killed while sending a file, then run again: restored byte for byte: ok"
}

win_cross_build() { # build dir, toolchain file[, targets: all when none]
  local dir=$1 toolchain=$2 targets=()
  shift 2
  [ "$#" = 0 ] || targets=(--target "$@")
  # The unit tests of the fault switch run under Wine too.
  configure "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DTAVNI_FAULT_INJECTION=ON || { win_fail "cmake configure of $dir"; return 1; }
  cmake --build "$dir" -j "$JOBS" "${targets[@]}" >"$dir/build.log" 2>&1 ||
    { grep -E -B2 -A12 'error|FAILED' "$dir/build.log" | head -80; win_fail "cross build in $dir"; return 1; }
}

win_test_main() {
  local why t0 t1 t2 t3 kind
  WIN_RUN_ARCH=
  win_host_runs_32bit_code >/dev/null # the probe runs once, in this shell
  why=$(win_missing_tools; echo "|$WIN_RUN_ARCH")
  WIN_RUN_ARCH=${why##*|}
  why=${why%|*}
  if [ -n "$why" ]; then
    stage_skipped windows "$why" || return 1
    return 0
  fi

  t0=$SECONDS
  win_say "cross build (i686-w64-mingw32) in $WIN_BUILD"
  # Where 32-bit Wine cannot run, the tests run from the x86-64 build below:
  # the 32-bit build then makes the shipped programs only.
  if [ "$WIN_RUN_ARCH" = x86_64 ]; then
    win_cross_build "$WIN_BUILD" "$ROOT/cmake/mingw-i686.cmake" tavni-backup tavni-ctl || return 1
  else
    win_cross_build "$WIN_BUILD" "$ROOT/cmake/mingw-i686.cmake" || return 1
  fi
  kind=$(file -b "$WIN_BUILD/tavni-backup.exe")
  case "$kind" in
    *PE32\ *"(GUI)"*"Intel 80386"*) ;;
    *) win_fail "tavni-backup.exe is '$kind', expected a 32-bit GUI PE"; return 1 ;;
  esac
  WIN_RUN_BUILD=$WIN_BUILD
  if [ "$WIN_RUN_ARCH" = x86_64 ]; then
    win_say "THE SHIPPED 32-BIT BUILD CANNOT RUN HERE: $(win_host_runs_32bit_code);"
    win_say "the Wine runs use an x86-64 build of the same sources in ${WIN_BUILD}64"
    WIN_RUN_BUILD=${WIN_BUILD}64
    win_cross_build "$WIN_RUN_BUILD" "$ROOT/cmake/mingw-x86_64.cmake" || return 1
  fi
  WIN_PREFIX=$WIN_RUN_BUILD/wineprefix
  t1=$SECONDS

  win_say "fresh Wine prefix (wine64; the $WIN_RUN_ARCH build)"
  win_prefix_init || return 1
  t2=$SECONDS

  # TAVNI_BUILD_DIR lets the tests start tavni-ctl.exe; Wine passes the
  # variable on.
  win_say "unit tests under Wine ($WIN_RUN_ARCH)"
  (cd "$WIN_RUN_BUILD" && TAVNI_BUILD_DIR=$(win_path "$WIN_RUN_BUILD") \
    win_wine 900 ./tavni_unit_tests.exe --gtest_brief=1) >"$WIN_RUN_BUILD/unit-wine.log" 2>&1 ||
    { tail -60 "$WIN_RUN_BUILD/unit-wine.log"; win_fail "unit tests under Wine"; return 1; }
  grep -E '^\[  (PASSED|SKIPPED) ' "$WIN_RUN_BUILD/unit-wine.log" || true

  win_say "process checks of tavni-backup.exe under Wine ($WIN_RUN_ARCH)"
  win_write_runner
  win_e2e_scripts || return 1
  win_job_wait_check || return 1
  win_say "backup from the Windows agent to tavni-server"
  win_backup_check || return 1
  win_large_sparse || return 1
  win_wire_audit || return 1
  win_wineserver -k
  t3=$SECONDS
  win_say "times: cross build $((t1 - t0)) s, prefix $((t2 - t1)) s, Wine runs $((t3 - t2)) s"
}

win_test_main

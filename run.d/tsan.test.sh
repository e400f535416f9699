# Sourced by ./run test: a clang build with the thread sanitizer runs the
# tests whose code has more than one thread at once: the block workers and
# the backup thread's block sending and walk (with and without workers:
# their parameterised names are Workers/Suite.Case/N), the watchdog, the
# platform's threads, events and listings (read ahead, status reads shared
# among threads), the counting scan, the stream chain, the server's connections
# and flusher, the S3 client's handle pool and the block stores' threaded
# contract case, and the end-to-end runs that send blocks, stop jobs and
# compare the wire.
TSAN_BUILD_DIR=${TAVNI_TSAN_BUILD:-$ROOT/build-tsan}
echo "== thread sanitizer build (clang) and the threaded tests"
CC=clang CXX=clang++ configure "$TSAN_BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAVNI_TSAN=ON -DTAVNI_FAULT_INJECTION=ON
# Only what the selected tests run: the fault sweeps, fuzz replays and
# benchmarks stay out of this build.
cmake --build "$TSAN_BUILD_DIR" -j "$JOBS" --target tavni_unit_tests tavni-backup \
  tavni-backup-quick tavni-ctl tavni-server
TSAN_UNIT='BlockPool|BlockPoolSize|BackupFile|ConfirmedCloses|Walk|DriverTest|AgentTiming|AgentDump|PlatformThread|PlatformEvent|PlatformFs|ScanFolder|StreamChain|ProtocolSession|ProtocolRemote|ServerTest|ServerTrace|ServerTraceTest|ServerSafety|S3Client|BlockStoreContract'
TSAN_E2E='backup_roundtrip|backup_stop_commands|wire_conformance'
# Every process of a test (the agent and server of the end-to-end scripts
# too, whose standard error those scripts drop) writes its reports to a file
# here; one report fails its process and the stage.
TSAN_REPORTS=$TSAN_BUILD_DIR/tsan-reports
rm -rf "$TSAN_REPORTS"
mkdir -p "$TSAN_REPORTS"
tsan_status=0
# This clang's thread sanitizer cannot map its shadow memory on kernels that
# randomise more address bits (vm.mmap_rnd_bits 32); without address space
# randomisation it starts everywhere, and the tests' children inherit that.
TSAN_NORANDOM=
if setarch "$(uname -m)" -R true 2>/dev/null; then TSAN_NORANDOM="setarch $(uname -m) -R"; fi
(cd "$TSAN_BUILD_DIR" &&
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 log_path=$TSAN_REPORTS/report" \
    $TSAN_NORANDOM ctest --output-on-failure -j "$JOBS" --timeout 900 \
    -R "(^|/)($TSAN_UNIT)\\.|^e2e\\.($TSAN_E2E)\$") || tsan_status=$?
if compgen -G "$TSAN_REPORTS/report*" >/dev/null; then
  cat "$TSAN_REPORTS"/report* >&2
  echo "thread sanitizer reports above" >&2
  exit 1
fi
[ "$tsan_status" = 0 ] || exit "$tsan_status"

# Sourced by ./run test: the shipped agent is a 32-bit program, so the code
# runs once with 4-byte pointers, size_t and long. An i686 Linux build (the
# POSIX back end; the Win32 back end stays with the Windows stage) runs every
# unit test under qemu-i386 (ctest uses the emulator by itself), then the
# end-to-end scripts with the i686 agent and tavni-ctl against the native
# tavni-server. The fault sweeps stay native: they repeat whole jobs
# hundreds of times and find no fault of word size that the unit tests miss.
I686_BUILD_DIR=${TAVNI_I686_BUILD:-$ROOT/build-i686}
I686_EMULATOR=qemu-i386-static
# The end-to-end scripts of the agent's jobs whose agent and tavni-ctl come from
# TAVNI_AGENT, TAVNI_CTL and TAVNI_RUN (the others test the server or start
# native test tools; the wire conformance is left to the native build).
I686_E2E_SCRIPTS=(agent_process.sh backup_roundtrip.sh backup_mirror.sh backup_stop_commands.sh
  backup_killed_after_delete.sh schedule_roundtrip.sh large_sparse.sh)
i686_main() {
  local t0=$SECONDS t1 t2 script out status=0
  echo "== i686 build (cross compiler, run under $I686_EMULATOR)"
  command -v i686-linux-gnu-g++ >/dev/null && command -v "$I686_EMULATOR" >/dev/null ||
    { echo "the i686 cross compiler or $I686_EMULATOR is missing (./run deps installs them)" >&2; return 1; }
  local sysroot
  sysroot=$(i686_sysroot)
  [ -f "$sysroot/.tavni-debs" ] ||
    { echo "no i386 sysroot in $sysroot (./run deps unpacks it)" >&2; return 1; }
  # The emulator takes the sysroot as the root of the programs' loader and
  # libraries, for the end-to-end scripts below as for ctest.
  export QEMU_LD_PREFIX=$sysroot
  configure "$I686_BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/i686-linux.cmake" -DTAVNI_I686_SYSROOT="$sysroot" \
    -DTAVNI_FAULT_INJECTION=ON || return 1
  # Only what runs here: the unit tests, the fuzz corpora's replays, the
  # agent and tavni-ctl (the server, the sweeps and the tools stay native).
  local targets=(tavni_unit_tests tavni-backup tavni-ctl) src
  for src in "$ROOT"/fuzz/*.cpp; do targets+=("fuzz-replay-$(basename "$src" .cpp)"); done
  cmake --build "$I686_BUILD_DIR" -j "$JOBS" --target "${targets[@]}" || return 1
  file "$I686_BUILD_DIR/tavni-backup" | grep -q 'ELF 32-bit.*Intel 80386' ||
    { echo "the i686 build did not make a 32-bit agent" >&2; return 1; }
  t1=$SECONDS
  echo "== i686: unit tests under $I686_EMULATOR"
  # The end-to-end tests registered in that build would run its own server
  # and tools; they run below instead, against the native server. Under the
  # emulator a test program cannot start itself again, so the few death
  # tests that need it skip themselves (their statements run natively).
  (cd "$I686_BUILD_DIR" && ctest --output-on-failure -j "$JOBS" --timeout 900 -E '^(e2e|layering|faults|run\.)') ||
    return 1
  t2=$SECONDS
  echo "== i686: end-to-end scripts (i686 agent and tavni-ctl, native server)"
  for script in "${I686_E2E_SCRIPTS[@]}"; do
    out=$I686_BUILD_DIR/e2e-${script%.sh}.log
    if TAVNI_BUILD_DIR=$BUILD TAVNI_SOURCE_DIR=$ROOT TAVNI_TARGET=posix TAVNI_RUN=$I686_EMULATOR \
      TAVNI_AGENT=$I686_BUILD_DIR/tavni-backup TAVNI_CTL=$I686_BUILD_DIR/tavni-ctl \
      bash "$ROOT/tests/e2e/$script" >"$out" 2>&1; then
      echo "   tests/e2e/$script: ok"
    else
      cat "$out"
      echo "tests/e2e/$script failed under $I686_EMULATOR" >&2
      status=1
    fi
  done
  echo "== i686 times: build $((t1 - t0)) s, unit tests $((t2 - t1)) s, end-to-end $((SECONDS - t2)) s"
  return $status
}
i686_status=0
i686_main || i686_status=1
unset QEMU_LD_PREFIX
[ "$i686_status" = 0 ] || exit 1

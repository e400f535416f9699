# Sourced by ./run test: a clang build with address and undefined-behaviour
# sanitizers runs the unit tests and the corpus replays (fuzz.*, the plain
# replay driver), then each libFuzzer target fuzzes briefly from its corpus.
SAN_BUILD=${TAVNI_SAN_BUILD:-$ROOT/build-san}
FUZZ_SECONDS=${TAVNI_FUZZ_SECONDS:-10}
echo "== sanitizer build (clang, address + undefined) and fuzz smoke"
CC=clang CXX=clang++ configure "$SAN_BUILD" -DCMAKE_BUILD_TYPE=Debug \
  -DTAVNI_SANITIZE=ON -DTAVNI_FUZZ=ON -DTAVNI_FAULT_INJECTION=ON
cmake --build "$SAN_BUILD" -j "$JOBS"
# The end-to-end scripts and the fault sweeps run real processes for minutes;
# the unit tests (the fault switch's own among them) and every fuzz target's
# corpus replay (fuzz.<target>, sanitized here) run here.
(cd "$SAN_BUILD" && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j "$JOBS" \
  -E '^(e2e|faults)\.' --timeout 900)
for fuzzer in "$SAN_BUILD"/fuzz_*; do
  [ -x "$fuzzer" ] || continue
  name=${fuzzer##*/fuzz_}
  corpus="$ROOT/fuzz/corpus/$name"
  work="$SAN_BUILD/fuzz-work/$name"
  mkdir -p "$work"
  echo "-- fuzz $name (${FUZZ_SECONDS}s)"
  if [ -d "$corpus" ]; then
    "$fuzzer" -max_total_time="$FUZZ_SECONDS" -print_final_stats=0 "$work" "$corpus" >"$work/fuzz.log" 2>&1 \
      || { tail -50 "$work/fuzz.log"; exit 1; }
  else
    "$fuzzer" -max_total_time="$FUZZ_SECONDS" "$work" >"$work/fuzz.log" 2>&1 || { tail -50 "$work/fuzz.log"; exit 1; }
  fi
done

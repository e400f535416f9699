#!/usr/bin/env bash
# ./run demo builds only the three programs it runs, says before a first
# build that it takes minutes, and how long the build took. CMake is
# stood in for by a script that records what it was asked to build and
# "builds" by linking the programs of this build folder, so the demo then
# runs for real without a second build.
source "$(dirname "$0")/lib/e2e.sh"
ROOT=${TAVNI_SOURCE_DIR:?}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/tavni-e2e-demo-build.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/bin" "$WORK/build" "$WORK/tmp"
cat >"$WORK/bin/cmake" <<STUB
#!/usr/bin/env bash
if [ "\$1" = --build ]; then
  echo "build \$*" >>"$WORK/cmake.log"
  for p in tavni-backup tavni-ctl tavni-server; do ln -sf "$BUILD/\$p" "$WORK/build/\$p"; done
else
  echo "configure \$*" >>"$WORK/cmake.log"
fi
STUB
chmod +x "$WORK/bin/cmake"
e2e_on_fail() { cat "$WORK/out" "$WORK/cmake.log"; }

demo() {
  (cd "$ROOT" && PATH=$WORK/bin:$PATH TAVNI_BUILD=$WORK/build TMPDIR=$WORK/tmp ./run demo) \
    >"$WORK/out" 2>&1
}
wait_no_agent
demo || fail "the demo failed"
[ "$(grep -c '^build ' "$WORK/cmake.log")" = 1 ] || fail "not one build"
grep -qx "build --build $WORK/build -j [0-9]* --target tavni-backup tavni-ctl tavni-server" \
  "$WORK/cmake.log" || fail "the demo built more or other than its programs"
grep -q "^== building tavni-backup tavni-ctl tavni-server into $WORK/build: the first build compiles" \
  "$WORK/out" || fail "no word of how long a first build takes"
grep -q '^== built in [0-9]* s$' "$WORK/out" || fail "no build time"
grep -q 'the restore is byte-identical' "$WORK/out" || fail "the demo did not run through"

# Built before: no word of a long first build.
demo || fail "the second demo failed"
! grep -q "the first build compiles" "$WORK/out" || fail "a first build announced again"
echo "demo_build: ok"

#!/usr/bin/env bash
# apt_partial_index.sh - the package helpers of ./run (run.d/apt.lib.sh) when
# one index of the mirror cannot be had: apt-get update is tried again, the
# failed index is named, and what the other indexes provide is still
# downloaded; a package that no index has is named and fails. Runs offline:
# a local repository made here, beside a source that points at a missing one.
set -euo pipefail
[ -n "${TAVNI_TEST_DEBUG:-}" ] && set -x
ROOT=${TAVNI_SOURCE_DIR:?TAVNI_SOURCE_DIR must name the source folder}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/tavni-apt.XXXXXX")
# apt drops its rights to its own user to fetch; it must reach the files.
chmod 755 "$WORK"
trap 'rm -rf "$WORK"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# A one-file package in a flat local repository.
mkdir -p "$WORK/pkg/DEBIAN" "$WORK/pkg/usr/share/tavni-apt-probe" "$WORK/repo"
printf 'probe\n' >"$WORK/pkg/usr/share/tavni-apt-probe/probe.txt"
cat >"$WORK/pkg/DEBIAN/control" <<'CONTROL'
Package: tavni-apt-probe
Version: 1.0
Architecture: all
Maintainer: Tavni Backup developers <dev@example.invalid>
Description: a package of the package helpers' test
CONTROL
dpkg-deb --build --root-owner-group "$WORK/pkg" "$WORK/repo/tavni-apt-probe_1.0_all.deb" >/dev/null
(cd "$WORK/repo" && dpkg-scanpackages --multiversion . /dev/null 2>/dev/null >Packages)
{
  echo "Origin: tavni-test"
  echo "Date: $(LC_ALL=C date -u '+%a, %d %b %Y %H:%M:%S UTC')"
  echo "SHA256:"
  printf ' %s %s Packages\n' "$(sha256sum <"$WORK/repo/Packages" | cut -d' ' -f1)" \
    "$(stat -c %s "$WORK/repo/Packages")"
} >"$WORK/repo/Release"

export TAVNI_CACHE=$WORK/cache APT_UPDATE_TRIES=2 APT_UPDATE_PAUSE=0
# shellcheck source=/dev/null
source "$ROOT/run.d/apt.lib.sh"
# The private root's entries: the good repository, and an i386 one that is
# not there.
debs_sources() {
  echo "deb [trusted=yes] file:$WORK/repo ./"
  echo "deb [arch=i386 trusted=yes] file:$WORK/missing ./"
}
# The sources file is named after the host's kind of list; either works.
out=$WORK/fetch.out
if ! debs_fetch i386 tavni-apt-probe >"$out" 2>"$WORK/fetch.err"; then
  cat "$WORK/fetch.err" >&2
  fail "the package of the good index was not downloaded"
fi
grep -q "attempt 1 of 2 failed" "$WORK/fetch.err" && grep -q "attempt 2 of 2 failed" "$WORK/fetch.err" ||
  { cat "$WORK/fetch.err" >&2; fail "the update was not tried again"; }
grep -q "file:$WORK/missing" "$WORK/fetch.err" || { cat "$WORK/fetch.err" >&2; fail "the failed index is not named"; }
grep -q "going on with the lists that arrived" "$WORK/fetch.err" || fail "no word that the install goes on"
deb=$(cat "$out")
[ -s "$deb" ] && dpkg-deb -f "$deb" Package | grep -qx tavni-apt-probe || fail "no package file: '$deb'"

# Unpacked once into a tree with its stamp; the second time nothing is fetched.
debs_unpack i386 "$WORK/tree" tavni-apt-probe || fail "the package was not unpacked"
[ "$(cat "$WORK/tree/usr/share/tavni-apt-probe/probe.txt")" = probe ] || fail "unpacked tree is wrong"
rm -f "$deb"
DEBS_UPDATED=
debs_unpack i386 "$WORK/tree" tavni-apt-probe >"$WORK/second.out" 2>&1 || fail "second unpack failed"
[ ! -s "$WORK/second.out" ] && [ ! -e "$deb" ] || { cat "$WORK/second.out"; fail "the second unpack fetched again"; }

# A package no index has: named, and the status says so.
if debs_fetch i386 tavni-no-such-package >/dev/null 2>"$WORK/missing.err"; then
  fail "a package that no index has was reported as downloaded"
fi
grep -q "could not be downloaded: tavni-no-such-package" "$WORK/missing.err" ||
  { cat "$WORK/missing.err" >&2; fail "the missing package is not named"; }
echo "ok: a failed index is retried, named and left out; the rest downloads; a missing package is named"

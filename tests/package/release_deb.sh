#!/usr/bin/env bash
# release_deb.sh DEB - the release package as a machine gets it: unpacked
# into a fresh root, its programs run from there and tell their version; the
# tests' fault switch is not in them (a plan in the environment neither
# stops them nor is counted); the dependencies are the shared libraries
# dpkg-shlibdeps found; the copyright file and the manual pages are there.
set -euo pipefail
DEB=${1:?usage: release_deb.sh DEB}
fail() { echo "FAIL: $*" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/tavni-release.XXXXXX")
trap 'rm -rf "$work"' EXIT

dpkg-deb -x "$DEB" "$work/root"
usr=$work/root/usr
version=$(dpkg-deb -f "$DEB" Version)
mkdir "$work/agentrun"
for p in tavni-backup tavni-ctl tavni-server; do
  v=$(cd "$work/agentrun" && "$usr/bin/$p" --version 2>&1) || fail "$p --version failed: $v"
  [ "$v" = "$p $version" ] || fail "$p --version: $v"
done

# A build with the switch refuses a malformed plan before main and writes
# the counts file at exit; a release program does neither.
for p in tavni-ctl tavni-server; do
  out=$(TAVNI_FAULT=bogus TAVNI_FAULT_COUNTS="$work/counts.$p" "$usr/bin/$p" --version 2>&1) ||
    fail "$p stopped at a fault plan: $out"
  [ "$out" = "$p $version" ] || fail "$p with a fault plan printed: $out"
  [ ! -e "$work/counts.$p" ] || fail "$p counted operations for the fault switch"
done
(cd "$work/agentrun" && TAVNI_FAULT=bogus "$usr/bin/tavni-backup" --help >"$work/agent.out" 2>&1) ||
  { cat "$work/agent.out"; fail "tavni-backup stopped at a fault plan"; }
grep -q '^Usage: tavni-backup background' "$work/agent.out" || fail "tavni-backup --help: $(cat "$work/agent.out")"
! grep -a -q 'TAVNI_FAULT' "$usr/bin/tavni-backup" "$usr/bin/tavni-ctl" "$usr/bin/tavni-server" ||
  fail "a packaged program names the fault switch's variables"

# Dependencies: what the programs link, as dpkg-shlibdeps names it (with
# versions), not a list written by hand.
depends=$(dpkg-deb -f "$DEB" Depends)
names=$(echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//')
for lib in libc6 libstdc++6 libssl3 zlib1g libsqlite3-0; do
  grep -qxF "$lib" <<<"$names" || fail "Depends lacks $lib: $depends"
done
[[ $depends == *"libc6 (>="* ]] || fail "Depends carries no versions (not from dpkg-shlibdeps): $depends"

# The files a Debian package owes its users.
copyright=$usr/share/doc/tavni/copyright
grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$copyright" ||
  fail "no machine-readable copyright file"
grep -q '^License: BSD-3-clause' "$copyright" || fail "the copyright file omits the CLI11 notice"
for p in tavni-backup tavni-ctl tavni-server; do
  [ -s "$usr/share/man/man1/$p.1" ] || [ -s "$usr/share/man/man1/$p.1.gz" ] || fail "no manual page $p.1"
done
file "$usr/bin/tavni-server" | grep -q 'not stripped' && fail "tavni-server is not stripped"
echo "release_deb: ok ($(basename "$DEB"), Depends: $depends)"

#!/usr/bin/env bash
# install_package.sh - the installation as an administrator gets it:
# `cmake --install` into a temporary prefix (layout, manual pages, units that
# systemd-analyze accepts) and the Debian package that CPack builds, unpacked
# into a temporary root (files, dependencies, maintainer scripts, programs
# that run, and `tavni-ctl init` making an agent folder from what it installed).
source "$(dirname "$0")/lib/e2e.sh"
SRC=${TAVNI_SOURCE_DIR:?TAVNI_SOURCE_DIR must name the source tree}

work=$(mktemp -d "${TMPDIR:-/tmp}/tavni-install.XXXXXX")
trap 'rm -rf "$work"' EXIT

# check_layout PREFIX: every file where the layout puts it.
check_layout() {
  local p=$1 f t
  for f in bin/tavni-backup bin/tavni-ctl bin/tavni-server; do
    [ -x "$p/$f" ] || fail "$p/$f is not installed"
  done
  for t in "$SRC"/etc/*.emt; do
    cmp -s "$t" "$p/share/tavni/templates/$(basename "$t")" ||
      fail "template $(basename "$t") is not installed as it stands in etc/"
  done
  for f in tavni-backup tavni-ctl tavni-server; do
    [ -s "$p/share/man/man1/$f.1" ] || fail "manual page $f.1 is not installed"
  done
  for f in tavni-server.service tavni-backup@.service tavni-backup@.timer; do
    [ -s "$p/lib/systemd/system/$f" ] || fail "unit $f is not installed"
  done
  [ -s "$p/lib/sysusers.d/tavni.conf" ] || fail "sysusers.d/tavni.conf is not installed"
  for f in README.md README.install.md examples/tavni-server.default; do
    [ -s "$p/share/doc/tavni/$f" ] || fail "share/doc/tavni/$f is not installed"
  done
  if [ -d "$SRC/docs" ]; then
    for f in "$SRC"/docs/*.md; do
      cmp -s "$f" "$p/share/doc/tavni/$(basename "$f")" || fail "docs/$(basename "$f") is not installed"
    done
  fi
}

# check_units DIR BINDIR: the units name the programs of this installation,
# and no placeholder was left unreplaced.
check_units() {
  local d=$1 bin=$2
  grep -qxF "ExecStart=$bin/tavni-server serve --store %S/tavni/store --listen \${TAVNI_LISTEN} \$TAVNI_SERVER_OPTS" \
    "$d/tavni-server.service" || fail "tavni-server.service does not start $bin/tavni-server"
  grep -qxF "ExecStart=$bin/tavni-ctl run --root %S/tavni/agent %S/tavni/agent/%i.tbs" \
    "$d/tavni-backup@.service" || fail "tavni-backup@.service does not run $bin/tavni-ctl"
  ! grep -n '@TAVNI_' "$d"/* || fail "a unit kept a placeholder"
  # A job with items that could not be backed up (exit 1) fails the unit.
  ! grep -n '^SuccessExitStatus=' "$d/tavni-backup@.service" ||
    fail "tavni-backup@.service counts a job whose items failed as a success"
}

# check_man DIR: every command of the two tools has its section, and roff
# reads the pages without a warning where groff is installed.
check_man() {
  local d=$1 s
  for s in "tavni-ctl init" "tavni-ctl schedule new" "tavni-ctl schedule decrypt" "tavni-ctl mail" \
    "tavni-server serve" "tavni-server user add" "tavni-server restore"; do
    grep -q "^\.SS \"${s//-/\\\\-}\"" "$d/$(echo "$s" | cut -d' ' -f1).1" ||
      fail "manual page $(echo "$s" | cut -d' ' -f1).1 has no section for '$s'"
  done
  for s in tavni-backup tavni-ctl tavni-server; do
    for h in "EXIT STATUS" ENVIRONMENT FILES; do
      grep -qx "\.SH $h" "$d/$s.1" || fail "manual page $s.1 has no $h section"
    done
  done
  # Every key the agent reads, and every exit code tavni-ctl run names (and
  # so the unit's success codes), has its paragraph in tavni-ctl.1.
  local k c keys
  keys=$(grep -oE '"[A-Za-z_]+="' "$SRC/src/backup/schedule/schedule.cpp" | tr -d '"' | sort -u)
  [ "$(echo "$keys" | wc -l)" -ge 20 ] || fail "schedule keys not found in schedule.cpp: $keys"
  for k in $keys; do
    grep -qE "^\.B ([A-Za-z_]+=[^ ]*, )?$k" "$d/tavni-ctl.1" || fail "tavni-ctl.1 does not document the key $k"
  done
  sed -n '/^\.SH SCHEDULE FILE/,/^\.SH EXIT STATUS/p' "$d/tavni-ctl.1" | grep -q '^\.B UserId=' ||
    fail "tavni-ctl.1 has no SCHEDULE FILE section with the keys"
  for c in $("$BUILD/tavni-ctl" run --help | sed -n '/^Exit codes:/,/^[^ ]/p' | grep -oE '^  [0-9]+ ' | tr -d ' '); do
    sed -n '/^\.SH EXIT STATUS/,/^\.SH ENVIRONMENT/p' "$d/tavni-ctl.1" | grep -qx "\.B $c" ||
      fail "tavni-ctl.1 does not explain exit code $c of run"
  done
  grep -q 'background \[SCHEDULE\]' "$d/tavni-backup.1" ||
    fail "tavni-backup.1 does not describe its modes"
  if command -v groff >/dev/null 2>&1; then
    for s in tavni-backup tavni-ctl tavni-server; do
      out=$(groff -man -ww -z "$d/$s.1" 2>&1) || fail "groff cannot read $s.1: $out"
      [ -z "$out" ] || fail "groff warns on $s.1: $out"
    done
  else
    echo "groff is not installed: manual pages not typeset"
  fi
}

echo "== cmake --install into $work/prefix"
cmake --install "$BUILD" --prefix "$work/prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "cmake --install failed"; }
check_layout "$work/prefix"
check_units "$work/prefix/lib/systemd/system" "$work/prefix/bin"
check_man "$work/prefix/share/man/man1"

if command -v systemd-analyze >/dev/null 2>&1; then
  echo "== systemd-analyze verify"
  # A template is checked as an instance of it; the units point at the
  # programs just installed, so their ExecStart= paths exist.
  mkdir "$work/units"
  cp "$work/prefix/lib/systemd/system/tavni-server.service" "$work/units/"
  cp "$work/prefix/lib/systemd/system/tavni-backup@.service" "$work/units/"
  cp "$work/prefix/lib/systemd/system/tavni-backup@.timer" "$work/units/"
  cp "$work/units/tavni-backup@.service" "$work/units/tavni-backup@demo.service"
  cp "$work/units/tavni-backup@.timer" "$work/units/tavni-backup@demo.timer"
  for u in tavni-server.service tavni-backup@demo.service tavni-backup@demo.timer; do
    SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no "$work/units/$u" >"$work/verify.log" 2>&1 ||
      { cat "$work/verify.log"; fail "systemd-analyze verify $u"; }
    # verify reports some faults (unknown settings, bad values) only as warnings.
    if grep -v -e 'Failed to .*bus' -e 'Cannot find unit' "$work/verify.log" | grep -q .; then
      cat "$work/verify.log"
      fail "systemd-analyze verify $u warns"
    fi
  done
else
  echo "systemd-analyze is not installed: units not verified"
fi

echo "== cpack (DEB)"
cpack --config "$BUILD/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
deb=$(ls "$work"/pkg/tavni_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || { cat "$work/cpack.log"; fail "cpack made no tavni_*.deb"; }
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libssl3 zlib1g libsqlite3-0 libc6 libstdc++6; do
  [[ ",$depends" == *[\ ,]$lib[\ ,]* || ",$depends," == *[\ ,]$lib,* ]] ||
    fail "the package does not depend on $lib (Depends: $depends)"
done
dpkg-deb -x "$deb" "$work/root"
check_layout "$work/root/usr"
check_units "$work/root/usr/lib/systemd/system" /usr/bin
[ -z "$(find "$work/root" -path '*/_CPack_Packages*')" ] || fail "the package holds CPack's own files"
dpkg-deb -e "$deb" "$work/control"
for s in postinst prerm postrm; do
  [ -x "$work/control/$s" ] || fail "the package has no executable $s"
  sh -n "$work/control/$s" || fail "$s is not valid sh"
done
# The package's programs are stripped and find every library they need.
file "$work/root/usr/bin/tavni-server" | grep -q 'not stripped' && fail "tavni-server is not stripped"

echo "== the packaged programs run"
for p in tavni-ctl tavni-server; do
  "$work/root/usr/bin/$p" --help >"$work/help.out" 2>&1 || { cat "$work/help.out"; fail "$p --help"; }
  grep -q '^Usage: ' "$work/help.out" || fail "$p --help prints no usage"
done
# The agent answers --help without starting (no process log is written).
mkdir "$work/agentrun"
(cd "$work/agentrun" && "$work/root/usr/bin/tavni-backup" --help >"$work/help.out" 2>&1) ||
  { cat "$work/help.out"; fail "tavni-backup --help"; }
grep -q '^Usage: tavni-backup background' "$work/help.out" || fail "tavni-backup --help prints no usage"
[ -z "$(ls -A "$work/agentrun")" ] || fail "tavni-backup --help wrote $(ls "$work/agentrun")"

echo "== tavni-ctl init from the package"
ctl=$work/root/usr/bin/tavni-ctl
agent=$work/agent
"$ctl" init --root "$agent" --server 127.0.0.1:4000 --server backup.example.com:4001 >"$work/init.out" 2>&1 ||
  { cat "$work/init.out"; fail "tavni-ctl init failed"; }
for t in "$SRC"/etc/*.emt; do
  cmp -s "$t" "$agent/etc/$(basename "$t")" || fail "init did not copy $(basename "$t")"
done
[ "$(printf '127.0.0.1:4000\nbackup.example.com:4001\n')" = "$(cat "$agent/etc/hosts")" ] ||
  fail "etc/hosts is not the two servers: $(cat "$agent/etc/hosts")"
[ "$(stat -c %a "$agent/etc/tavni.ak")" = 600 ] || fail "etc/tavni.ak is not owner-only"
[ "$(stat -c %a "$agent")" = 700 ] || fail "a new installation folder is not owner-only"
[ -z "$(find "$agent" -name '*.tmp')" ] || fail "init left a temporary file"
# The machine key decrypts what it encrypted: the folder is usable.
printf 'UserId=1\n' >"$work/plain"
"$ctl" schedule encrypt --root "$agent" "$work/plain" "$agent/x.tbs" || fail "cannot encrypt with the new key"
"$ctl" schedule decrypt --root "$agent" "$agent/x.tbs" | grep -qx 'UserId=1' || fail "cannot decrypt with the new key"

echo "== init again keeps the key, edited templates and the servers"
key_before=$(md5sum <"$agent/etc/tavni.ak")
echo "edited" >"$agent/etc/success_txt.emt"
rm "$agent/etc/failinfo_txt.emt"
"$ctl" init --root "$agent" >"$work/init.out" 2>&1 || { cat "$work/init.out"; fail "init again failed"; }
[ "$key_before" = "$(md5sum <"$agent/etc/tavni.ak")" ] || fail "init again changed the machine key"
[ "$(cat "$agent/etc/success_txt.emt")" = edited ] || fail "init again replaced an edited template"
cmp -s "$SRC/etc/failinfo_txt.emt" "$agent/etc/failinfo_txt.emt" || fail "init again did not restore a missing template"
grep -qx '127.0.0.1:4000' "$agent/etc/hosts" || fail "init without --server changed etc/hosts"
"$ctl" init --root "$agent" --server 10.0.0.1:4000 >/dev/null 2>&1 || fail "init --server on an existing folder failed"
[ "$(cat "$agent/etc/hosts")" = 10.0.0.1:4000 ] || fail "init --server did not replace etc/hosts"

echo "== init refuses bad input and writes nothing"
for bad in "backup.example.com" "backup.example.com:" "backup.example.com:99999" ":4000" \
  "two words:4000" "host#1:4000" "a:b:4000"; do
  rc=0
  "$ctl" init --root "$work/bad" --server "$bad" >"$work/bad.out" 2>&1 || rc=$?
  [ "$rc" = 1 ] || fail "init --server '$bad' gave exit $rc"
  grep -q -- "--server '$bad'" "$work/bad.out" || fail "init --server '$bad' does not say what is wrong: $(cat "$work/bad.out")"
  [ ! -e "$work/bad" ] || fail "init --server '$bad' wrote $work/bad"
done
rc=0
"$ctl" init --root "$work/bad" --server a:1 --server b:2 --server c:3 >"$work/bad.out" 2>&1 || rc=$?
[ "$rc" = 1 ] && [ ! -e "$work/bad" ] || fail "init took three servers (exit $rc)"
mkdir "$work/empty"
rc=0
"$ctl" init --root "$work/bad" --templates "$work/empty" >"$work/bad.out" 2>&1 || rc=$?
[ "$rc" = 1 ] && [ ! -e "$work/bad" ] || fail "init without templates gave exit $rc"
grep -q 'no mail templates' "$work/bad.out" || fail "init without templates does not say so: $(cat "$work/bad.out")"

echo "install_package: ok"

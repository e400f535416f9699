# Package helpers that ./run sources; they run nothing by themselves.
#
# The host's packages (apt_install) and the packages of another architecture
# that a 32-bit build needs (debs_unpack): the latter are downloaded by apt
# from a private apt root in the cache and unpacked into a folder there,
# never installed, so the host's architectures and packages stay as they were.
#
# A mirror that serves one broken index (a file of unexpected size while it
# syncs, or a missing one) must not stop what the other indexes provide:
# apt-get update is retried a few times and then reported, and the lists that
# did arrive are used. Only a package that cannot be had fails, by name.
#
#   tavni_cache_dir           the cache folder: $TAVNI_CACHE, else
#                             /var/cache/tavni when we are root or may write
#                             it, else ~/.cache/tavni
#   apt_install PKG...        installs what is missing of PKG on the host
#   debs_unpack ARCH TREE PKG[=VERSION]...
#                             makes TREE hold exactly those packages of ARCH,
#                             unpacked; a stamp in TREE names them, so a
#                             second call with the same list fetches nothing
#   debs_source PKG=VERSION DIR
#                             downloads the Debian source of that version into
#                             DIR (a deb-src index of the private root)
#
# APT_UPDATE_TRIES (3) and APT_UPDATE_PAUSE (seconds, 5) shape the retries.

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

tavni_cache_dir() {
  if [ -n "${TAVNI_CACHE:-}" ]; then
    echo "$TAVNI_CACHE"
  elif [ "$(id -u)" = 0 ] || [ -w /var/cache/tavni ]; then
    echo /var/cache/tavni
  else
    echo "${XDG_CACHE_HOME:-$HOME/.cache}/tavni"
  fi
}

missing_packages() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

# apt-get update with the given apt-get options (none: the host's lists),
# tried APT_UPDATE_TRIES times. An index that still fails is named and left
# out; the status is 0 whenever apt could read its lists afterwards.
apt_update_lists() {
  local tries=${APT_UPDATE_TRIES:-3} pause=${APT_UPDATE_PAUSE:-5} try out failed=
  for ((try = 1; try <= tries; try++)); do
    if out=$("$@" update -q 2>&1); then
      [ "$try" = 1 ] || echo "== apt-get update: complete on attempt $try"
      return 0
    fi
    failed=$(printf '%s\n' "$out" | sed -n 's/^[EW]: Failed to fetch \([^ ]*\).*/\1/p' | sort -u)
    if [ -z "$failed" ]; then
      failed=$(printf '%s\n' "$out" | grep -E '^(E|W|Err):' | head -5)
    fi
    echo "== apt-get update: attempt $try of $tries failed:" >&2
    printf '%s\n' "$failed" | sed 's/^/     /' >&2
    [ "$try" -lt "$tries" ] && sleep "$pause"
  done
  echo "== apt-get update: going on with the lists that arrived; the indexes above are left out" >&2
}

APT_HOST_UPDATED=
apt_install() {
  local missing p failed=()
  missing=$(missing_packages "$@")
  [ -z "$missing" ] && return 0
  echo "== installing:" $missing
  if [ -z "$APT_HOST_UPDATED" ]; then
    apt_update_lists as_root apt-get || true
    APT_HOST_UPDATED=1
  fi
  # shellcheck disable=SC2086
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing &&
    return 0
  # One at a time, to name what cannot be installed and still install the rest.
  for p in $missing; do
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$p" \
      >/dev/null 2>&1 || failed+=("$p")
  done
  [ "${#failed[@]}" = 0 ] && return 0
  echo "== these packages could not be installed: ${failed[*]}" >&2
  return 1
}

# --- the private apt root of another architecture -------------------------

# The root's folder; debs_apt and debs_apt_cache run apt-get and apt-cache
# confined to it.
debs_root() { echo "$(tavni_cache_dir)/apt-$1"; }
debs_with() { # program, arch, arguments...
  local program=$1 arch=$2 root
  shift 2
  root=$(debs_root "$arch")
  "$program" -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$root/sources" \
    -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts="$root/sources" \
    -o Dir::State="$root/state" -o Dir::State::status="$root/status" \
    -o Dir::Cache="$root/cache" -o APT::Architecture="$arch" -o APT::Architectures="$arch" \
    -o APT::Get::AllowUnauthenticated=false "$@"
}
debs_apt() { debs_with apt-get "$@"; }
debs_apt_cache() { debs_with apt-cache "$@"; }

# The host's Debian entries, as binary and source indexes without an
# architecture of their own; the host names come from the host's own list
# and are never written here.
debs_sources() {
  local src=/etc/apt/sources.list.d/debian.sources
  if [ -f "$src" ]; then
    sed -e '/^Architectures:/d' -e 's/^Types:.*/Types: deb deb-src/' "$src"
  elif [ -f /etc/apt/sources.list ]; then
    sed -n -e 's/\[[^]]*arch=[^]]*\] *//' -e 's/^deb \(.*\)/deb \1\ndeb-src \1/p' /etc/apt/sources.list
  else
    return 1
  fi
}

DEBS_UPDATED=
debs_update() { # arch
  local arch=$1 root file
  case " $DEBS_UPDATED " in *" $arch "*) return 0 ;; esac
  root=$(debs_root "$arch")
  mkdir -p "$root/sources" "$root/state/lists/partial" "$root/cache/archives/partial" "$root/debs" ||
    return 1
  [ -f "$root/status" ] || : >"$root/status"
  debs_sources >"$root/sources/new" ||
    { echo "== no Debian entries in the host's apt sources to fetch $arch packages from" >&2; return 1; }
  # One-line entries or deb822 stanzas, each in a file of its kind.
  if grep -q '^Types:' "$root/sources/new"; then file=debian.sources; else file=debian.list; fi
  rm -f "$root/sources/debian.sources" "$root/sources/debian.list"
  mv "$root/sources/new" "$root/sources/$file"
  apt_update_lists debs_apt "$arch" || return 1
  DEBS_UPDATED="$DEBS_UPDATED $arch"
}

# Downloads PKG[=VERSION]... of arch into the root's debs/ folder, checked by
# apt against the signed indexes, and prints each file's path; a file that is
# there already is kept. A package that cannot be had is named and the status
# is 1.
debs_fetch() { # arch pkg...
  local arch=$1 root p info name err paths=() failed=()
  shift
  root=$(debs_root "$arch")
  debs_update "$arch" || return 1
  for p in "$@"; do
    # The file apt-get download names after the version apt chose.
    info=$(debs_apt_cache "$arch" show --no-all-versions "$p" 2>/dev/null |
      sed -n -e 's/^Package: /p=/p' -e 's/^Version: /v=/p' -e 's/^Architecture: /a=/p' | head -3)
    name=$(printf '%s\n' "$info" | awk -F= '{f[$1] = substr($0, 3)} END {
      if (f["p"] != "" && f["v"] != "" && f["a"] != "") { gsub(":", "%3a", f["v"]); print f["p"] "_" f["v"] "_" f["a"] ".deb" } }')
    if [ -z "$name" ]; then
      failed+=("$p")
      continue
    fi
    if [ ! -s "$root/debs/$name" ]; then
      err=$( (cd "$root/debs" && debs_apt "$arch" -q download "$p" 2>&1 >/dev/null) | grep -E '^E:' | head -1)
      [ -s "$root/debs/$name" ] || { failed+=("$p"); echo "== $arch package $p: ${err:-not downloaded}" >&2; continue; }
    fi
    paths+=("$root/debs/$name")
  done
  [ "${#failed[@]}" = 0 ] || { echo "== $arch packages that could not be downloaded: ${failed[*]}" >&2; return 1; }
  printf '%s\n' "${paths[@]}"
}

debs_unpack() { # arch tree pkg...
  local arch=$1 tree=$2 want files f link target
  shift 2
  want=$(printf '%s\n' "$arch" "$@")
  [ -f "$tree/.tavni-debs" ] && [ "$(cat "$tree/.tavni-debs")" = "$want" ] && return 0
  files=$(debs_fetch "$arch" "$@") || return 1
  rm -rf "$tree.new" && mkdir -p "$tree.new" || return 1
  while IFS= read -r f; do
    dpkg-deb -x "$f" "$tree.new" || { echo "== cannot unpack $f" >&2; return 1; }
  done <<<"$files"
  # Links that name an absolute path point into the tree instead, so that
  # the tree is a root of its own.
  while IFS= read -r link; do
    target=$(readlink "$link")
    ln -sfn "$tree${target}" "$link"
  done < <(find "$tree.new" -type l -lname '/*')
  printf '%s\n' "$want" >"$tree.new/.tavni-debs"
  rm -rf "$tree" && mv "$tree.new" "$tree"
}

debs_source() { # pkg=version dir
  local wanted=$1 dir=$2
  debs_update i386 || return 1
  mkdir -p "$dir" || return 1
  (cd "$dir" && debs_apt i386 -q source --download-only "$wanted" >/dev/null 2>&1)
}

# Sourced by ./run deps: the 32-bit Windows cross toolchain, Wine for running
# its programs, and a static mingw libcrypto built once from Debian's own
# OpenSSL source into a cache outside the build tree.
#
# Every step checks first whether it is already done, so a repeated run costs
# a few dpkg queries and file tests. When something cannot be installed the
# failure is reported and the Windows test stage skips itself; nothing here
# aborts the native build.
#
# Cache folder: $TAVNI_CACHE, else /var/cache/tavni when writable by us (or
# when we are root), else ~/.cache/tavni. Each OpenSSL build sits in
# openssl-<version>-mingw-i686/ and the link openssl-mingw-i686 names the one
# in use (likewise -x86_64 where the Wine stage needs a 64-bit build).
# TAVNI_OPENSSL_REFRESH=1 looks for a newer source version.

win_cache_dir() {
  if [ -n "${TAVNI_CACHE:-}" ]; then
    echo "$TAVNI_CACHE"
  elif [ "$(id -u)" = 0 ] || [ -w /var/cache/tavni ]; then
    echo /var/cache/tavni
  else
    echo "${XDG_CACHE_HOME:-$HOME/.cache}/tavni"
  fi
}

win_log() { echo "== windows: $*"; }

win_deps_toolchain() {
  apt_install g++-mingw-w64-i686 libz-mingw-w64-dev googletest make perl || return 1
  if ! dpkg --print-foreign-architectures | grep -x i386 >/dev/null; then
    win_log "adding the i386 architecture"
    as_root dpkg --add-architecture i386 || return 1
    # apt_install updates the lists only when something is missing, which is
    # the case right after adding the architecture.
  fi
  apt_install wine wine32:i386 || return 1
}

# Adds deb-src entries made from the machine's own deb entries; the host names
# come from that file and are never written here.
win_deps_source_lines() {
  local src=/etc/apt/sources.list.d/debian.sources
  local dst=/etc/apt/sources.list.d/tavni-debian-src.sources
  local known
  known=$(apt-cache showsrc openssl 2>/dev/null || true)
  case "$known" in *Version:*) return 0 ;; esac
  if [ -f "$src" ]; then
    sed 's/^Types: deb$/Types: deb-src/' "$src" | as_root tee "$dst" >/dev/null || return 1
  elif [ -f /etc/apt/sources.list ]; then
    dst=/etc/apt/sources.list.d/tavni-debian-src.list
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | as_root tee "$dst" >/dev/null || return 1
  else
    win_log "no apt source list found to derive deb-src lines from"
    return 1
  fi
  win_log "enabled deb-src lines ($dst)"
  as_root apt-get update -qq || return 1
}

# The Debian openssl source tarball of version $1 (upstream $2), kept in the
# cache so that a second architecture needs no second download. Prints its
# path, or nothing when it did not arrive.
win_deps_openssl_tarball() {
  local v=$1 upstream=$2 cache work tarball
  cache=$(win_cache_dir)
  tarball=$cache/src/openssl_$upstream.orig.tar.gz
  if [ -s "$tarball" ]; then
    echo "$tarball"
    return 0
  fi
  work=$cache/download-$v
  rm -rf "$work" && mkdir -p "$work" "$cache/src" || return 1
  # The .dsc of the newest version may be missing while the tarball still
  # arrives; apt-get then fails, so judge by the tarball alone.
  (cd "$work" && apt-get source --download-only -qq "openssl=$v" >/dev/null 2>&1) || true
  if [ -s "$work/openssl_$upstream.orig.tar.gz" ] &&
    tar -tzf "$work/openssl_$upstream.orig.tar.gz" >/dev/null 2>&1; then
    mv "$work/openssl_$upstream.orig.tar.gz" "$tarball" && echo "$tarball"
  fi
  rm -rf "$work"
}

# What the agent does not use of libcrypto, left out of the build (it needs
# AES-CBC, MD5, SHA-1, SHA-256, RSA with OAEP, PEM and the random generator);
# each is a build time the Windows stage would otherwise pay on every fresh
# machine.
WIN_OPENSSL_UNUSED=(no-aria no-bf no-blake2 no-camellia no-cast no-chacha no-cmp no-cms no-comp
  no-ct no-des no-dgram no-dh no-dsa no-ec no-gost no-idea no-md4 no-mdc2 no-ocb no-ocsp
  no-poly1305 no-rc2 no-rc4 no-rc5 no-rmd160 no-scrypt no-seed no-siphash no-siv no-sm2 no-sm3
  no-sm4 no-srp no-srtp no-ts no-whirlpool)

# Builds static libcrypto (only; the agent needs no libssl) for mingw on
# architecture $1 (i686 or x86_64) from
# the newest openssl source whose tarball arrives, into the cache. Prints
# nothing on the fast path.
win_deps_openssl() {
  local arch=$1 target cache link
  case "$arch" in
    i686) target=mingw ;;
    x86_64) target=mingw64 ;;
    *) return 1 ;;
  esac
  cache=$(win_cache_dir)
  link=$cache/openssl-mingw-$arch
  if [ -f "$link/lib/libcrypto.a" ] && [ -f "$link/.complete" ] && [ "${TAVNI_OPENSSL_REFRESH:-0}" != 1 ]; then
    return 0
  fi
  mkdir -p "$cache" || return 1
  win_deps_source_lines || return 1

  local versions v upstream dir work tarball t0
  versions=$(apt-cache showsrc openssl 2>/dev/null | sed -n 's/^Version: //p' | sort -u -V -r)
  [ -n "$versions" ] || { win_log "no openssl source versions known to apt"; return 1; }
  for v in $versions; do
    upstream=${v#*:}
    upstream=${upstream%-*}
    dir=$cache/openssl-$v-mingw-$arch
    if [ -f "$dir/lib/libcrypto.a" ] && [ -f "$dir/.complete" ]; then
      ln -sfn "$(basename "$dir")" "$link" || return 1
      return 0
    fi
    tarball=$(win_deps_openssl_tarball "$v" "$upstream")
    if [ -z "$tarball" ]; then
      win_log "openssl $v: source tarball did not arrive, trying an older version"
      continue
    fi
    win_log "building static libcrypto $upstream for mingw $arch (about a minute)"
    t0=$SECONDS
    work=$cache/work-$v-$arch
    rm -rf "$work" "$dir" && mkdir -p "$work" || return 1
    tar -xzf "$tarball" -C "$work" || return 1
    (
      cd "$work/openssl-$upstream" &&
        ./Configure "$target" no-shared no-tests no-asm no-engine no-module no-legacy \
          "${WIN_OPENSSL_UNUSED[@]}" \
          --cross-compile-prefix="$arch-w64-mingw32-" --prefix="$dir" --libdir=lib \
          >"$work/configure.log" 2>&1 &&
        make -j"${JOBS:-2}" build_generated >"$work/build.log" 2>&1 &&
        make -j"${JOBS:-2}" libcrypto.a >>"$work/build.log" 2>&1 &&
        mkdir -p "$dir/lib" "$dir/include/openssl" &&
        cp libcrypto.a "$dir/lib/" &&
        cp include/openssl/*.h "$dir/include/openssl/"
    ) || {
      win_log "openssl build failed; see $work/*.log"
      tail -20 "$work"/*.log
      return 1
    }
    echo "$v" >"$dir/.complete"
    ln -sfn "$(basename "$dir")" "$link" || return 1
    rm -rf "$work"
    win_log "libcrypto $v for $arch built in $((SECONDS - t0)) s into $dir"
    return 0
  done
  win_log "no openssl source tarball could be downloaded"
  return 1
}

# True when this kernel runs 32-bit x86 programs (some kernels are booted
# with ia32 emulation off; 32-bit Wine cannot start there).
win_host_runs_i386() {
  [ -x /lib/ld-linux.so.2 ] && /lib/ld-linux.so.2 --version >/dev/null 2>&1
}

win_deps_main() {
  local t0=$SECONDS lock t1 arches=i686
  win_deps_toolchain || { win_log "cross toolchain or Wine could not be installed"; return 1; }
  if ! win_host_runs_i386; then
    # The shipped build stays 32-bit; the Wine stage runs an x86-64 build of
    # the same sources under wine64 instead.
    apt_install g++-mingw-w64-x86-64 wine64 ||
      { win_log "x86-64 cross toolchain or wine64 could not be installed"; return 1; }
    arches="i686 x86_64"
  fi
  t1=$SECONDS
  # One build at a time when several clones share the cache.
  lock=$(win_cache_dir)
  mkdir -p "$lock" || return 1
  (
    flock -w 900 9 || exit 1
    for arch in $arches; do
      win_deps_openssl "$arch" || exit 1
    done
  ) 9>"$lock/.lock" || { win_log "mingw libcrypto is not available"; return 1; }
  if [ $((SECONDS - t0)) -gt 2 ]; then
    win_log "deps: packages $((t1 - t0)) s, openssl $((SECONDS - t1)) s"
  fi
}

if ! win_deps_main; then
  win_log "the Windows toolchain is incomplete; the Windows test stage will skip"
fi

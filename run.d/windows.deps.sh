# Sourced by ./run deps: the 32-bit Windows cross toolchain, Wine for running
# its programs, and a static mingw libcrypto built once from Debian's own
# OpenSSL source into a cache outside the build tree.
#
# Nothing of another architecture is installed on the host. Where this
# machine runs 32-bit code (run.d/windows.lib.sh), the 32-bit PE DLLs that
# Wine's WoW64 mode needs come from Debian's i386 libwine package, unpacked
# into the cache; elsewhere an x86-64 build of the same sources is what Wine
# runs, and its libcrypto is built too. The OpenSSL source comes through the
# private apt root of run.d/apt.lib.sh, so the host's apt sources are not
# touched either.
#
# Every step checks first whether it is already done, so a repeated run costs
# a few dpkg queries and file tests. When something cannot be installed the
# failure is reported and the Windows test stage then fails under CI (a
# developer's own run skips it and says so); nothing here aborts the native
# build.
#
# Each OpenSSL build sits in openssl-<version>-mingw-<arch>/ of the cache
# (tavni_cache_dir) and the link openssl-mingw-<arch> names the one in use.
# TAVNI_OPENSSL_REFRESH=1 looks for a newer source version.

source "$ROOT/run.d/windows.lib.sh"

win_log() { echo "== windows: $*"; }

win_deps_toolchain() {
  apt_install g++-mingw-w64-i686 libz-mingw-w64-dev googletest make perl wine64
}

# The Debian openssl source tarball of version $1 (upstream $2), kept in the
# cache so that a second architecture needs no second download. Prints its
# path, or nothing when it did not arrive.
win_deps_openssl_tarball() {
  local v=$1 upstream=$2 cache work tarball
  cache=$(tavni_cache_dir)
  tarball=$cache/src/openssl_$upstream.orig.tar.gz
  if [ -s "$tarball" ]; then
    echo "$tarball"
    return 0
  fi
  work=$cache/download-$v
  rm -rf "$work" && mkdir -p "$work" "$cache/src" || return 1
  # The .dsc of the newest version may be missing while the tarball still
  # arrives; apt-get then fails, so judge by the tarball alone.
  debs_source "openssl=$v" "$work" || true
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
  cache=$(tavni_cache_dir)
  link=$cache/openssl-mingw-$arch
  if [ -f "$link/lib/libcrypto.a" ] && [ -f "$link/.complete" ] && [ "${TAVNI_OPENSSL_REFRESH:-0}" != 1 ]; then
    return 0
  fi
  mkdir -p "$cache" || return 1
  debs_update i386 || return 1

  local versions v upstream dir work tarball t0
  versions=$(debs_apt_cache i386 showsrc openssl 2>/dev/null | sed -n 's/^Version: //p' | sort -u -V -r)
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

# The 32-bit PE DLLs of the installed wine64's version, unpacked from the
# i386 libwine package, stripped of their debugging sections (550 MB less to
# copy into every prefix), and the folder that WINEDLLPATH names.
win_deps_libwine() {
  local version tree dlls
  version=$(win_wine_version)
  [ -n "$version" ] || { win_log "wine64 is not installed"; return 1; }
  tree=$(win_libwine_tree)
  dlls=$(win_wow64_dll_dir)
  [ -f "$dlls/.complete" ] && return 0
  debs_unpack i386 "$tree/root" "libwine=$version" || return 1
  win_log "stripping the debugging sections of the 32-bit Wine DLLs"
  find "$tree/root/usr/lib/i386-linux-gnu/wine/i386-windows" -type f \( -name '*.dll' -o -name '*.exe' \
    -o -name '*.drv' -o -name '*.sys' -o -name '*.ocx' -o -name '*.acm' -o -name '*.cpl' \) \
    -exec i686-w64-mingw32-strip --strip-debug {} + 2>/dev/null || true
  rm -rf "$dlls" && mkdir -p "$dlls" || return 1
  ln -s "$tree/root/usr/lib/i386-linux-gnu/wine/i386-windows" "$dlls/i386-windows" &&
    ln -s /usr/lib/x86_64-linux-gnu/wine/x86_64-unix "$dlls/x86_64-unix" &&
    echo "$version" >"$dlls/.complete"
}

win_deps_main() {
  local t0=$SECONDS lock t1 arches=i686 cpu32
  win_deps_toolchain || { win_log "cross toolchain or Wine could not be installed"; return 1; }
  cpu32=$(win_host_runs_32bit_code)
  if [ "$cpu32" = yes ]; then
    win_deps_libwine || { win_log "the 32-bit Wine DLLs could not be set up"; return 1; }
  else
    # The shipped build stays 32-bit; the Wine stage runs an x86-64 build of
    # the same sources instead.
    win_log "$cpu32: the Wine runs will use an x86-64 build"
    apt_install g++-mingw-w64-x86-64 || { win_log "the x86-64 cross toolchain could not be installed"; return 1; }
    arches="i686 x86_64"
  fi
  t1=$SECONDS
  # One build at a time when several clones share the cache.
  lock=$(tavni_cache_dir)
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
  win_log "the Windows toolchain is incomplete; the Windows test stage cannot run"
fi

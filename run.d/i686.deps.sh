# Sourced by ./run deps: the 32-bit Linux (i686) cross compiler, the user-mode
# emulator that runs the programs and tests (this machine's kernel may not
# start 32-bit programs itself), and a sysroot of the i386 libraries the build
# links and its programs load: Debian's i386 packages, downloaded by apt into
# the cache and unpacked there (run.d/apt.lib.sh), never installed, so their
# versions need not match the host's. A failure is reported and the i686
# stage then fails.
I686_SYSROOT_PACKAGES=(libc6 libgcc-s1 libstdc++6 libssl3 libssl-dev zlib1g zlib1g-dev
  libsqlite3-0 libsqlite3-dev)
i686_sysroot() { echo "$(tavni_cache_dir)/sysroot-i386"; }
i686_deps() {
  apt_install g++-i686-linux-gnu qemu-user-static || return 1
  debs_unpack i386 "$(i686_sysroot)" "${I686_SYSROOT_PACKAGES[@]}"
}
i686_deps || echo "== i686: the cross toolchain or its sysroot could not be set up; the i686 stage will fail" >&2

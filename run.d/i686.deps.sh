# Sourced by ./run deps: the 32-bit Linux (i686) cross compiler, the i386
# development libraries the build links, and the user-mode emulator that
# runs the programs and tests (this machine's kernel cannot start 32-bit
# programs itself). A failure is reported and the i686 stage then fails.
i686_deps() {
  if ! dpkg --print-foreign-architectures | grep -x i386 >/dev/null; then
    echo "== i686: adding the i386 architecture"
    as_root dpkg --add-architecture i386 || return 1
  fi
  apt_install g++-i686-linux-gnu qemu-user-static libssl-dev:i386 zlib1g-dev:i386 \
    libsqlite3-dev:i386 libgtest-dev:i386 libgmock-dev:i386
}
i686_deps || echo "== i686: the cross toolchain could not be installed; the i686 stage will fail" >&2

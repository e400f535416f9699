# Cross build for 32-bit Linux (i686) with Debian's cross compiler; the i386
# libraries it links come from a sysroot of unpacked Debian packages
# (TAVNI_I686_SYSROOT, made by ./run deps), and its programs and tests run
# under user-mode emulation (qemu-i386-static with that sysroot as the root
# of their loader and libraries), which ctest uses by itself:
#
#   cmake -S . -B build-i686 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux.cmake \
#     -DTAVNI_I686_SYSROOT=/var/cache/tavni/sysroot-i386
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# Try-compiles read this file again without the cache; hand them the folder.
if(NOT TAVNI_I686_SYSROOT AND DEFINED ENV{TAVNI_I686_SYSROOT})
  set(TAVNI_I686_SYSROOT "$ENV{TAVNI_I686_SYSROOT}")
endif()
if(NOT TAVNI_I686_SYSROOT OR NOT EXISTS "${TAVNI_I686_SYSROOT}/usr/include/openssl")
  message(FATAL_ERROR "No i386 sysroot at '${TAVNI_I686_SYSROOT}'; run ./run deps and pass "
                      "-DTAVNI_I686_SYSROOT=<cache>/sysroot-i386")
endif()
set(ENV{TAVNI_I686_SYSROOT} "${TAVNI_I686_SYSROOT}")

# The C library and libstdc++ of the cross compiler; everything else from the
# sysroot. The sysroot's own loader and libraries run the programs.
set(CMAKE_FIND_ROOT_PATH ${TAVNI_I686_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Headers of the multiarch folder (openssl/opensslconf.h) beside the others.
set(CMAKE_C_FLAGS_INIT "-isystem ${TAVNI_I686_SYSROOT}/usr/include/i386-linux-gnu")
set(CMAKE_CXX_FLAGS_INIT "-isystem ${TAVNI_I686_SYSROOT}/usr/include/i386-linux-gnu")
set(TAVNI_I686_LIBDIRS "${TAVNI_I686_SYSROOT}/usr/lib/i386-linux-gnu:${TAVNI_I686_SYSROOT}/lib/i386-linux-gnu")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${TAVNI_I686_LIBDIRS}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,${TAVNI_I686_LIBDIRS}")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386-static -L ${TAVNI_I686_SYSROOT})
set(ENV{PKG_CONFIG_LIBDIR} "${TAVNI_I686_SYSROOT}/usr/lib/i386-linux-gnu/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${TAVNI_I686_SYSROOT}")

# Shared part of the MinGW-w64 toolchain files; the including file sets
# TAVNI_MINGW_ARCH (i686 or x86_64).
#
# Libraries come from two roots only: the MinGW sysroot (zlib from
# libz-mingw-w64-dev) and the static libcrypto that run.d/windows.deps.sh
# builds into its cache. Set TAVNI_MINGW_OPENSSL (CMake or environment
# variable) to use another OpenSSL build for mingw.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${TAVNI_MINGW_ARCH})

set(TAVNI_MINGW_TRIPLE ${TAVNI_MINGW_ARCH}-w64-mingw32)
# The "-posix" variant of Debian's compilers: its libstdc++ has std::mutex and
# std::thread (the "-win32" variant of GCC 12 has neither). Its threading
# library is linked statically like everything else.
find_program(TAVNI_MINGW_CC NAMES ${TAVNI_MINGW_TRIPLE}-gcc-posix ${TAVNI_MINGW_TRIPLE}-gcc)
find_program(TAVNI_MINGW_CXX NAMES ${TAVNI_MINGW_TRIPLE}-g++-posix ${TAVNI_MINGW_TRIPLE}-g++)
set(CMAKE_C_COMPILER ${TAVNI_MINGW_CC})
set(CMAKE_CXX_COMPILER ${TAVNI_MINGW_CXX})
set(CMAKE_RC_COMPILER ${TAVNI_MINGW_TRIPLE}-windres)
set(TAVNI_MINGW_SYSROOT /usr/${TAVNI_MINGW_TRIPLE})

# The OpenSSL build: an explicit setting first, then the cache folders in the
# order the deps script picks them.
if(NOT TAVNI_MINGW_OPENSSL AND DEFINED ENV{TAVNI_MINGW_OPENSSL_${TAVNI_MINGW_ARCH}})
  set(TAVNI_MINGW_OPENSSL "$ENV{TAVNI_MINGW_OPENSSL_${TAVNI_MINGW_ARCH}}")
endif()
if(NOT TAVNI_MINGW_OPENSSL)
  set(_tavni_candidates)
  if(DEFINED ENV{TAVNI_CACHE})
    list(APPEND _tavni_candidates "$ENV{TAVNI_CACHE}/openssl-mingw-${TAVNI_MINGW_ARCH}")
  endif()
  list(APPEND _tavni_candidates /var/cache/tavni/openssl-mingw-${TAVNI_MINGW_ARCH})
  if(DEFINED ENV{XDG_CACHE_HOME})
    list(APPEND _tavni_candidates "$ENV{XDG_CACHE_HOME}/tavni/openssl-mingw-${TAVNI_MINGW_ARCH}")
  endif()
  if(DEFINED ENV{HOME})
    list(APPEND _tavni_candidates "$ENV{HOME}/.cache/tavni/openssl-mingw-${TAVNI_MINGW_ARCH}")
  endif()
  foreach(_dir IN LISTS _tavni_candidates)
    if(EXISTS "${_dir}/lib/libcrypto.a")
      get_filename_component(TAVNI_MINGW_OPENSSL "${_dir}" REALPATH)
      break()
    endif()
  endforeach()
endif()
if(NOT TAVNI_MINGW_OPENSSL)
  message(FATAL_ERROR "No OpenSSL build for mingw ${TAVNI_MINGW_ARCH} found; run ./run deps "
                      "(or set TAVNI_MINGW_OPENSSL_${TAVNI_MINGW_ARCH})")
endif()

set(CMAKE_FIND_ROOT_PATH ${TAVNI_MINGW_SYSROOT} ${TAVNI_MINGW_OPENSSL})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained executable: static libraries only.
set(OPENSSL_USE_STATIC_LIBS TRUE)
set(OPENSSL_ROOT_DIR ${TAVNI_MINGW_OPENSSL})
set(ZLIB_USE_STATIC_LIBS ON)

# Try-compiles re-read this file; hand them the chosen folder.
set(ENV{TAVNI_MINGW_OPENSSL_${TAVNI_MINGW_ARCH}} "${TAVNI_MINGW_OPENSSL}")

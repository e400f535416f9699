# Cross build of the same sources for 64-bit Windows. Not shipped: the Wine
# test stage uses it on hosts whose kernel cannot run 32-bit programs.
#
#   cmake -S . -B build-win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
set(TAVNI_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

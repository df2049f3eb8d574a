# CMake toolchain file for Windows with Debian's mingw-w64, posix thread model.
#   cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
#         -DMINGW_TRIPLE=i686-w64-mingw32 -DMINGW_DEPS_PREFIX=<deps>
# MINGW_TRIPLE defaults to i686-w64-mingw32, the shipped 32-bit product.
# x86_64-w64-mingw32 builds the same sources as 64-bit programs; the test
# script uses that build to run the Windows code under a 64-bit Wine on hosts
# whose kernel cannot execute 32-bit code (and so cannot run 32-bit Wine).
# MINGW_DEPS_PREFIX is where scripts/build-mingw-deps installed PCRE2 and minizip.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT MINGW_TRIPLE)
  set(MINGW_TRIPLE i686-w64-mingw32)
endif()
if(MINGW_TRIPLE MATCHES "^x86_64")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86)
endif()

# The compilers' names pin the thread model, whatever update-alternatives
# says: posix (std::thread, for the builder) unless MINGW_THREADS says win32.
if(NOT MINGW_THREADS)
  set(MINGW_THREADS posix)
endif()
set(CMAKE_C_COMPILER   ${MINGW_TRIPLE}-gcc-${MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-${MINGW_THREADS})
set(CMAKE_RC_COMPILER  ${MINGW_TRIPLE}-windres)

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MINGW_DEPS_PREFIX MINGW_TRIPLE MINGW_THREADS)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE} ${MINGW_DEPS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must not see the host's .pc files.
if(MINGW_DEPS_PREFIX)
  set(ENV{PKG_CONFIG_LIBDIR} "${MINGW_DEPS_PREFIX}/lib/pkgconfig:/usr/${MINGW_TRIPLE}/lib/pkgconfig")
else()
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/${MINGW_TRIPLE}/lib/pkgconfig")
endif()
set(ENV{PKG_CONFIG_PATH} "")

# Fully static .exe: no libstdc++-6.dll, libgcc_s_dw2-1.dll, libwinpthread-1.dll.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest runs the .exe files through Wine: the 32-bit loader for i686, the
# 64-bit one for x86_64 (Debian's `wine` script always tries 32-bit first).
if(MINGW_TRIPLE MATCHES "^x86_64")
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR wine)
endif()

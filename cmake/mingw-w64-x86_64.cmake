# Cross build of the Windows program on Debian:
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZEPR_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZEPR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZEPR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZEPR_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZEPR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One executable with no DLL beside it: the C and C++ runtimes and winpthreads linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Tests and tools run through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
# zlib too, from its static archive rather than zlib1.dll.
set(ZLIB_USE_STATIC_LIBS ON)

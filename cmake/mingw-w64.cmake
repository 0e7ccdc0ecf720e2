# Cross build for Windows (x86-64) with the MinGW-w64 compilers of the
# g++-mingw-w64-x86-64-posix package:
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# The programs link the C and C++ runtimes statically, so the .exe files run
# on a bare Windows; ctest runs the cross-built tests through Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# ctest (and test discovery) run the programs through Wine, in a prefix of
# the build's own, quietly, with the ANSI code page 1252 that the tests
# expect (Wine derives it from the locale).
find_program(PREPQDM_WINE wine)
if(PREPQDM_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      /usr/bin/env WINEDEBUG=-all LANG=C.UTF-8 LC_ALL=C.UTF-8 WINEPREFIX=${CMAKE_BINARY_DIR}/wine-prefix ${PREPQDM_WINE})
endif()

# Cross build for 64-bit Windows with Debian's mingw-w64 toolchain
# (package g++-mingw-w64-x86-64).
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#   cmake --build build-win && ctest --test-dir build-win
#
# The posix thread model is used: GoogleTest needs std::mutex, which GCC 12's
# win32 model lacks.  Every executable is linked statically (libgcc,
# libstdc++ and libwinpthread included), so each .exe stands alone and runs
# under Wine without DLLs beside it.  When Wine is installed, test executables
# run through it (set WINEPREFIX in the environment of ctest to use a private
# prefix).

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_AR ${MINGW_TRIPLET}-ar CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${MINGW_TRIPLET}-ranlib CACHE FILEPATH "Ranlib")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(MINGW_WINE NAMES wine wine64)
if(MINGW_WINE)
  # Wine's "fixme:" chatter goes to standard error; keep it quiet unless the
  # caller asked for a debug channel.
  if(DEFINED ENV{WINEDEBUG})
    set(MINGW_WINEDEBUG "$ENV{WINEDEBUG}")
  else()
    set(MINGW_WINEDEBUG "-all")
  endif()
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env WINEDEBUG=${MINGW_WINEDEBUG} ${MINGW_WINE})
endif()

# Cross-compiles quillex.exe for 64-bit Windows with Debian's MinGW-w64
# (package g++-mingw-w64-x86-64):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUILLEX_MINGW_PREFIX x86_64-w64-mingw32)
# The posix thread model gives the full C++ thread library; it is linked in statically.
find_program(CMAKE_C_COMPILER NAMES ${QUILLEX_MINGW_PREFIX}-gcc-posix ${QUILLEX_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${QUILLEX_MINGW_PREFIX}-g++-posix ${QUILLEX_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${QUILLEX_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUILLEX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No DLL beside the system's: the C and C++ runtimes and winpthread go into the program.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Programs built for Windows run here under Wine.
find_program(QUILLEX_WINE NAMES wine wine64)
if(QUILLEX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUILLEX_WINE})
endif()

# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 compilers (the -posix ones, whose
# C++ runtime has std::thread), tests run under Wine:
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/cross-windows.cmake
#
# Needs g++-mingw-w64-x86-64-posix and wine64. GoogleTest is then built from the sources in
# /usr/src/googletest. Wine starts its programs from the prefix in WINEPREFIX (~/.wine without it);
# the tests run there as Windows programs, and reach the build folder by Wine's drive Z:.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triplet x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${triplet}-windres)
# Kept after any roots given with -DCMAKE_FIND_ROOT_PATH (an unpacked ravmolt zip, for one).
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Debian installs the 64-bit loader outside PATH.
find_program(RAVMOLT_WINE NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(RAVMOLT_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${RAVMOLT_WINE})
endif()
set(RAVMOLT_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources to build")

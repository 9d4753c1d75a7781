# Cross-compiling for another Linux architecture with Debian's cross compilers, tests run under
# qemu-user. Pass the target's GNU triplet:
#
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/cross-linux.cmake \
#         -DRAVMOLT_TARGET_TRIPLET=aarch64-linux-gnu
#
# Needs g++-<triplet> and qemu-user (qemu-<processor>, with the target's libraries from
# /usr/<triplet>). GoogleTest is then built from the sources in /usr/src/googletest.
set(RAVMOLT_TARGET_TRIPLET "" CACHE STRING "GNU triplet of the target, e.g. aarch64-linux-gnu")
if(NOT RAVMOLT_TARGET_TRIPLET)
  message(FATAL_ERROR "cross-linux.cmake needs -DRAVMOLT_TARGET_TRIPLET=<triplet>")
endif()
# try_compile projects read the toolchain file again; hand the triplet on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES RAVMOLT_TARGET_TRIPLET)
string(REGEX REPLACE "-.*" "" processor "${RAVMOLT_TARGET_TRIPLET}")

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${processor})
set(CMAKE_C_COMPILER ${RAVMOLT_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${RAVMOLT_TARGET_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${RAVMOLT_TARGET_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-${processor} -L /usr/${RAVMOLT_TARGET_TRIPLET})
set(RAVMOLT_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources to build")

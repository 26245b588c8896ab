# Cross-builds with a compiler prefix, the way firmware build systems pass
# it (CROSS_COMPILE=arm-linux-musleabihf- and the like):
#
#   cmake -S . -B build-dev -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/cross.cmake \
#         -DCROSS_COMPILE=arm-linux-gnueabihf- [-DCMAKE_SYSROOT=...]
#
# CROSS_COMPILE may also come from the environment. The processor is the
# first word of the prefix. A compiler that needs a gcc specs file to use
# another C library sets DEVICE_LIBC_SPECS (and DEVICE_LIBC) first.
if(NOT CROSS_COMPILE)
  set(CROSS_COMPILE "$ENV{CROSS_COMPILE}")
endif()
if(NOT CROSS_COMPILE)
  message(FATAL_ERROR "cross.cmake: set CROSS_COMPILE (e.g. arm-linux-gnueabihf-)")
endif()
# try_compile projects read this file again; they see only these variables.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CROSS_COMPILE DEVICE_LIBC_SPECS DEVICE_LIBC)

set(CMAKE_SYSTEM_NAME Linux)
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${CROSS_COMPILE}")
set(CMAKE_C_COMPILER ${CROSS_COMPILE}gcc)
set(CMAKE_CXX_COMPILER ${CROSS_COMPILE}g++)

# Libraries and packages come from the target's folders only: the build
# host's GoogleTest or C library must never be taken for the target's.
string(REGEX REPLACE "-$" "" triplet "${CROSS_COMPILE}")
if(NOT CMAKE_SYSROOT AND EXISTS /usr/${triplet})
  set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# 32-bit ARM (hard float) with glibc, from Debian's cross compiler
# (g++-arm-linux-gnueabihf). Programs and tests run under qemu-user with
# the cross libraries as their root for the dynamic loader.
set(CROSS_COMPILE arm-linux-gnueabihf-)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static -L /usr/arm-linux-gnueabihf)

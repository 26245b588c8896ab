# 32-bit ARM (hard float) with musl: the device form. Debian's cross
# compiler is pointed at musl's headers, start files and library by the
# specs file of musl-dev:armhf.
set(DEVICE_LIBC musl)
set(DEVICE_LIBC_SPECS /usr/lib/arm-linux-musleabihf/musl-gcc.specs)
set(CROSS_COMPILE arm-linux-gnueabihf-)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static)

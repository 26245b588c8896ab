# The build host's processor with musl: the device's C library where the
# programs run natively, so the end-to-end suite can run against them.
set(DEVICE_LIBC musl)
set(DEVICE_LIBC_SPECS /usr/lib/x86_64-linux-musl/musl-gcc.specs)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DEVICE_LIBC_SPECS DEVICE_LIBC)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)

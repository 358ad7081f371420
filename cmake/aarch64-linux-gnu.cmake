# Cross-builds for arm64 Linux with Debian's cross compiler and the arm64
# libraries of a multiarch installation (/usr/lib/aarch64-linux-gnu), and
# runs what it builds (tests, their discovery, try_run) under qemu-user.
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# For another target copy this file and change the four names below: the
# GNU triple (also the multiarch directory on Debian), the processor as
# uname reports it, and the emulator, e.g. arm-linux-gnueabihf, armv7l and
# qemu-arm for 32-bit ARM.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QUORVEX_TARGET_TRIPLE aarch64-linux-gnu)
set(QUORVEX_TARGET_EMULATOR qemu-aarch64)

set(CMAKE_C_COMPILER ${QUORVEX_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${QUORVEX_TARGET_TRIPLE}-g++)
# Debian keeps each architecture's libraries and package files in a
# directory of its own under /usr/lib; CMake's searches look there with this.
set(CMAKE_LIBRARY_ARCHITECTURE ${QUORVEX_TARGET_TRIPLE})

# Nothing of the build machine's architecture may be linked: libraries,
# headers and package files come from the target's directories only, while
# programs (pkg-config, the emulator) are the build machine's own.
set(CMAKE_FIND_ROOT_PATH /usr/${QUORVEX_TARGET_TRIPLE} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${QUORVEX_TARGET_TRIPLE}/pkgconfig:/usr/share/pkgconfig)

# The loader and C library come from the target's libc6 package
# (/lib/ld-linux-aarch64.so.1), so the emulator needs no -L prefix.
find_program(QUORVEX_EMULATOR_PATH ${QUORVEX_TARGET_EMULATOR} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORVEX_EMULATOR_PATH})

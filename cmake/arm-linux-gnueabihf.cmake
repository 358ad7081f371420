# Cross-builds for 32-bit ARM Linux with hardware floating point (Debian's
# armhf: ARMv7, 32-bit pointers, size_t and long, little-endian) and runs
# under qemu-arm; see linux-cross.cmake for where the libraries come from.
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(QUORVEX_TARGET_TRIPLE arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(QUORVEX_TARGET_EMULATOR qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
# GCC notes, for every function taking a vector iterator, that GCC 7.1
# changed how ARM passes it: the whole build is one compiler's, so the
# notes say nothing here.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

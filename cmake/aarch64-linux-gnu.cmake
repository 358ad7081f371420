# Cross-builds for arm64 Linux (64-bit, little-endian) and runs under
# qemu-aarch64; see linux-cross.cmake for where the libraries come from.
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# The GNU triple is the compiler's prefix and Debian's multiarch directory;
# the processor is what uname -m says on the target.
set(QUORVEX_TARGET_TRIPLE aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QUORVEX_TARGET_EMULATOR qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)

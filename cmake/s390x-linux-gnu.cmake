# Cross-builds for IBM Z Linux (Debian's s390x: 64-bit, big-endian) and runs
# under qemu-s390x; see linux-cross.cmake for where the libraries come from.
#   cmake -S . -B build-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/s390x-linux-gnu.cmake
set(QUORVEX_TARGET_TRIPLE s390x-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(QUORVEX_TARGET_EMULATOR qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)

# What the toolchain files of cmake/ share: included by each after it has
# named its target (QUORVEX_TARGET_TRIPLE, CMAKE_SYSTEM_PROCESSOR,
# QUORVEX_TARGET_EMULATOR). Builds with Debian's cross compiler for that
# triple and runs what it builds (tests, their discovery, try_run) under
# qemu-user.
#
# The target's libraries come from one of two places:
#   - a sysroot, a directory holding the target's root file system (Debian's
#     packages of the target extracted there by scripts/cross-sysroot, or a
#     device vendor's): -DQUORVEX_SYSROOT=<dir> or the environment variable
#     of that name. The emulator then finds the target's loader and
#     libraries there (qemu's -L).
#   - without one, the target's packages of a multiarch installation
#     (dpkg --add-architecture; /usr/lib/<triple>), whose loader the
#     emulator finds at its usual place.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${QUORVEX_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${QUORVEX_TARGET_TRIPLE}-g++)
# Debian keeps each architecture's libraries and package files in a
# directory of its own under /usr/lib; CMake's searches look there with this.
set(CMAKE_LIBRARY_ARCHITECTURE ${QUORVEX_TARGET_TRIPLE})

if(NOT QUORVEX_SYSROOT AND DEFINED ENV{QUORVEX_SYSROOT})
  set(QUORVEX_SYSROOT $ENV{QUORVEX_SYSROOT})
endif()
# The checks CMake compiles while configuring read this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUORVEX_SYSROOT)

find_program(QUORVEX_EMULATOR_PATH ${QUORVEX_TARGET_EMULATOR} REQUIRED)
# Nothing of the build machine's architecture may be linked: libraries,
# headers and package files come from the target's directories only, while
# programs (pkg-config, the emulator) are the build machine's own.
if(QUORVEX_SYSROOT)
  if(NOT EXISTS ${QUORVEX_SYSROOT}/usr/lib/${QUORVEX_TARGET_TRIPLE})
    message(FATAL_ERROR "QUORVEX_SYSROOT ${QUORVEX_SYSROOT} holds no ${QUORVEX_TARGET_TRIPLE} libraries")
  endif()
  # The compiler's own C and C++ libraries stay those of the cross compiler;
  # the sysroot adds the others and replaces the build machine's /usr/include.
  set(CMAKE_SYSROOT ${QUORVEX_SYSROOT})
  set(CMAKE_FIND_ROOT_PATH ${QUORVEX_SYSROOT})
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${QUORVEX_SYSROOT})
  set(ENV{PKG_CONFIG_LIBDIR}
    ${QUORVEX_SYSROOT}/usr/lib/${QUORVEX_TARGET_TRIPLE}/pkgconfig:${QUORVEX_SYSROOT}/usr/share/pkgconfig)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORVEX_EMULATOR_PATH} -L ${QUORVEX_SYSROOT})
else()
  set(CMAKE_FIND_ROOT_PATH /usr/${QUORVEX_TARGET_TRIPLE} /)
  set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${QUORVEX_TARGET_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORVEX_EMULATOR_PATH})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

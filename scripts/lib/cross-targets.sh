# The targets of scripts/test-cross and scripts/cross-sysroot, one line each,
# in the names each tool knows them by:
#   target   Debian's architecture (dpkg), the name given on the command line
#   triple   GNU triple: the cross compiler's prefix, the multiarch directory,
#            cmake/<triple>.cmake is its toolchain file
#   machine  uname -m on the target (under qemu too): the hit's QX_DEVICE
#   elf      readelf's machine, class and byte order of its binaries
#   emulator qemu-user's program for it
# What each adds to the others: arm64 is 64-bit little-endian like the build
# machine but another processor; armhf has 32-bit pointers, size_t, long and
# (on Debian 12) time_t; s390x is big-endian.
QUORVEX_CROSS_TARGETS="
arm64  aarch64-linux-gnu   aarch64 AArch64:ELF64:little qemu-aarch64
armhf  arm-linux-gnueabihf armv7l  ARM:ELF32:little     qemu-arm
s390x  s390x-linux-gnu     s390x   S/390:ELF64:big      qemu-s390x
"

# cross_target <target>: sets DEB_ARCH, TRIPLE, MACHINE, ELF_MACHINE,
# ELF_CLASS, ELF_ENDIAN and EMULATOR; fails for a target not in the table.
cross_target() {
  local line
  line="$(awk -v t="$1" '$1 == t' <<<"$QUORVEX_CROSS_TARGETS")"
  if [ -z "$line" ]; then
    echo "unknown target '$1'; one of:" $(awk 'NF {print $1}' <<<"$QUORVEX_CROSS_TARGETS") >&2
    return 1
  fi
  local elf
  read -r DEB_ARCH TRIPLE MACHINE elf EMULATOR <<<"$line"
  IFS=: read -r ELF_MACHINE ELF_CLASS ELF_ENDIAN <<<"$elf"
}

# ensure_emulator: installs qemu-user, at 9.0 or later. The 7.2 of Debian 12
# aborts a forked child of a threaded program when the child starts a thread
# ("cpu == current_cpu"): an SDK's child after fork() does. On Debian 12 it
# comes from bookworm-backports, added to apt's sources if missing; apt takes
# nothing else from there unless asked to.
ensure_emulator() {
  local version sudo="" sources=/etc/apt/sources.list.d/bookworm-backports.sources
  version="$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || true)"
  if [ -n "$version" ] && dpkg --compare-versions "$version" ge 1:9; then
    return 0
  fi
  if [ "$(. /etc/os-release && echo "${VERSION_CODENAME:-}")" != bookworm ]; then
    ensure_packages qemu-user
    return 0
  fi
  log "installing qemu-user from bookworm-backports (it was ${version:-not installed})"
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  if ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    printf '%s\n' 'Types: deb' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm-backports' \
      'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' |
      $sudo tee "$sources" >/dev/null
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt_update $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends -t bookworm-backports qemu-user
}

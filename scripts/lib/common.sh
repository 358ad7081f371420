# Shared by scripts/test and scripts/demo: install what is missing on a fresh
# Debian machine, then configure and build.

QUORVEX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
JOBS="$(nproc 2>/dev/null || echo 2)"

log() { printf '\n==> [%ss] %s\n' "$SECONDS" "$*"; }

# apt_update <apt-get update command...>: runs it, and twice more after a
# pause if it fails. A mirror caught in the middle of a sync, or a proxy
# holding an older copy, serves an index whose size does not match its
# Release file, for a while or for hours. apt keeps every other index (and
# the older copy of that one, if it had one): the installation goes on with
# them, and says so itself if a package it needs is not among them.
apt_update() {
  local attempt
  for attempt in 1 2 3; do
    if "$@"; then return 0; fi
    if [ "$attempt" -lt 3 ]; then
      log "a package index could not be updated (attempt $attempt of 3); again in 30 s"
      sleep 30
    fi
  done
  log "a package index could not be updated; going on with the indexes apt has"
}

# Installs the Debian packages that are not installed yet; runs apt-get only
# when one is missing.
ensure_packages() {
  local missing=()
  local package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done
  if [ "${#missing[@]}" -eq 0 ]; then
    return 0
  fi
  log "installing ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  apt_update $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

BUILD_PACKAGES=(build-essential cmake pkg-config libcurl4-openssl-dev libsqlite3-dev libicu-dev
  zlib1g-dev ca-certificates libcli11-dev)
TEST_PACKAGES=(libgtest-dev libgmock-dev libbenchmark-dev clang clang-format libclang-rt-14-dev
  python3 doxygen)
# The inspector page's test: Debian's Chromium, driven from Node.js.
BROWSER_TEST_PACKAGES=(chromium)

# ensure_commands <command:package>...: installs the Debian package of each
# command that is missing, and leaves alone a command installed otherwise
# (a Node.js that brings its own npm, say).
ensure_commands() {
  local packages=()
  local pair
  for pair in "$@"; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || packages+=("${pair#*:}")
  done
  if [ "${#packages[@]}" -gt 0 ]; then ensure_packages "${packages[@]}"; fi
}

# configure_and_build <build dir> [cmake options...]
configure_and_build() {
  local dir="$1"
  shift
  cmake -S "$QUORVEX_ROOT" -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

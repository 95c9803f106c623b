# Debian packages the scripts install, and how. Sourced by scripts/setup.sh,
# scripts/test.sh and install.sh; not meant to be run.
# shellcheck shell=bash

# Enough to build and run velkor-computer-use-host, and nothing more: the
# first command of the README must work on a fresh machine without them.
# shellcheck disable=SC2034 # used by the scripts that source this file
build_packages=(cmake ninja-build g++ nlohmann-json3-dev libssl-dev pkg-config)
# The tests, the clang pass with its sanitizers, and the Debian package the
# install test builds (dpkg-shlibdeps works out the package's dependencies,
# and CPack's Debian generator asks `file` which of its files are programs).
# shellcheck disable=SC2034
test_packages=(clang clang-format libclang-rt-14-dev googletest libgtest-dev libgmock-dev libbenchmark-dev dpkg-dev file)

# Installs the given packages with apt-get, through sudo unless we are root.
apt_install() {
  local sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  # Through env: sudo would drop a plain assignment in front of it.
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@"
}

# Installs those of the given packages that are not installed yet.
ensure_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then
    apt_install "${missing[@]}"
  fi
}

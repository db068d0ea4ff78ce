#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, skipping
# those already present so that a second run is quick. Run as root.
set -euo pipefail

packages=(
  build-essential cmake ninja-build g++-multilib
  libgtest-dev googletest libbenchmark-dev
  libopenimageio-dev openimageio-tools libcli11-dev nlohmann-json3-dev libjemalloc-dev pkg-config
  clang libclang-rt-14-dev valgrind binutils qemu-user
  fonts-dejavu-core
  # Windows builds of the module and their tests under wine; wine32 (for the
  # 32-bit tests) comes from the i386 architecture. zip packs the release.
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 wine32:i386 zip
)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

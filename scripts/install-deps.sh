#!/usr/bin/env bash
# Installs the Debian packages that building and testing QZ_FTDI needs.
#   scripts/install-deps.sh           the native toolchain and test tools
#   scripts/install-deps.sh windows   also the MinGW-w64 cross compiler and Wine,
#                                     for the Windows x64 DLL and its test run
set -euo pipefail
packages=(build-essential cmake ninja-build googletest libgtest-dev libgmock-dev
          libbenchmark-dev sigrok-cli pkg-config libcli11-dev libtomlplusplus-dev
          nlohmann-json3-dev unzip python3 python3-pytest python3-pip python3-setuptools
          clang-14 libclang-rt-14-dev help2man libftdi1-2 libftdi1-dev libusb-1.0-0-dev)
if [ "${1:-}" = windows ]; then
  packages+=(g++-mingw-w64-x86-64-posix wine wine64)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

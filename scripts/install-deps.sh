#!/usr/bin/env bash
# Installs the Debian packages that building and testing QZ_FTDI needs.
set -euo pipefail
packages=(build-essential cmake ninja-build googletest libgtest-dev libgmock-dev
          libbenchmark-dev sigrok-cli)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

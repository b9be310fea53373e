#!/usr/bin/env bash
# Installs from Debian's packages the cross toolchain for the AArch64 board,
# the arm64 builds of the libraries the programs link, and qemu-user for the
# tests under emulation. Safe to run again.
set -euo pipefail

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi

if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    echo "Adding the arm64 architecture"
    $sudo dpkg --add-architecture arm64
    $sudo apt-get update
fi

exec "$(dirname "$0")/install-deps.sh" crossbuild-essential-arm64 libhiredis-dev:arm64 libiniparser-dev:arm64 \
    libcjson-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64 libstdc++6:arm64 qemu-user

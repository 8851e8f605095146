#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, only when one is missing.
# With the argument "windows": also what the Windows build tested under Wine needs (MinGW-w64's
# POSIX-thread compiler, Wine, GoogleTest's sources).
set -euo pipefail
pkgs=(cmake g++ make pkg-config qt6-base-dev libqt6opengl6-dev qt6-serialport-dev qt6-tools-dev
      libqcustomplot-dev libqcustomplot2.1-qt6 nlohmann-json3-dev libgtest-dev libgmock-dev xvfb xauth clang libclang-rt-14-dev)
if [ "${1:-}" = windows ]; then
  pkgs+=(g++-mingw-w64-x86-64-posix wine64 wine googletest)
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"

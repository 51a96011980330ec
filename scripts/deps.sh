#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine, only what is
# missing. Safe to run repeatedly.
set -euo pipefail

packages=(
  cmake ninja-build g++ python3 xz-utils
  gcc-arm-none-eabi libnewlib-arm-none-eabi libstdc++-arm-none-eabi-newlib binutils-arm-none-eabi
  libgtest-dev libgmock-dev
  libunicorn-dev libelf-dev libdw-dev libcapstone-dev
  lcov gcovr ccache
  libcli11-dev nlohmann-json3-dev libyaml-cpp-dev
  pkg-config librsvg2-dev libcairo2-dev
  sigrok-cli gdb-multiarch
  libcivetweb-dev nettle-dev chromium chromium-driver python3-selenium iproute2
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi

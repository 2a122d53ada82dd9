#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12.
#   scripts/install-dependencies.sh            everything: builds, tests, packages
#   scripts/install-dependencies.sh --program  only what the command-line program's build needs
set -euo pipefail

packages=(cmake ninja-build g++ python3 pkg-config libcli11-dev nlohmann-json3-dev libusb-1.0-0-dev)
if [[ ${1:-} != --program ]]; then
    packages+=(
        git googletest libgtest-dev libgmock-dev libbenchmark-dev python3-jsonschema
        umockdev libumockdev-dev
        g++-mingw-w64-x86-64-posix wine wine64 xvfb xauth
        tshark clang libclang-rt-14-dev
        dpkg-dev file unzip
        qemu-system-x86 linux-image-amd64 busybox-static libusbredirparser-dev cpio
    )
fi

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
if ((${#missing[@]} > 0)); then
    sudo_cmd=()
    [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

#!/usr/bin/env bash
# Installs what building and testing Quillon needs on Debian 12, and nothing when it is all there.
#
#   scripts/install-deps.sh           everything: Linux build and tests, Windows cross build, Wine tests
#   scripts/install-deps.sh --linux   only the Linux build (the simulator and the unit tests)
set -euo pipefail

linux_packages=(
    cmake ninja-build g++ python3
    googletest libgtest-dev libbenchmark-dev
    # the simulated machine's fibers
    libboost-context-dev
    # the fuzz stage: clang with libFuzzer and the sanitizers' runtimes
    clang-14 libfuzzer-14-dev
)
windows_packages=(
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
    wine wine64 fonts-wine
    # what Wine's X11 driver loads at run time, for the tray program under Xvfb
    libx11-6 libxext6 libxrender1 libxrandr2 libxi6 libxcursor1 libxcomposite1 libxinerama1 libxfixes3
    libfreetype6 libfontconfig1 libgnutls30
    xvfb xauth x11-utils xdotool imagemagick procps
    # the installer: NSIS makes it; it is a 32-bit program, which Wine runs with its 32-bit half
    nsis wine32:i386
)

packages=("${linux_packages[@]}")
case "${1:-}" in
    --linux) ;;
    "") packages+=("${windows_packages[@]}") ;;
    *) echo "usage: $0 [--linux]" >&2; exit 2 ;;
esac

installed=$(dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null |
    awk '/ install ok installed$/ { sub(/:.*/, "", $1); print $1 }' || true)
missing=()
for package in "${packages[@]}"; do
    grep -qxF "${package%%:*}" <<<"$installed" || missing+=("$package")
done
if ((${#missing[@]} == 0)); then
    echo "install-deps: all ${#packages[@]} packages present"
    exit 0
fi

sudo=()
if ((EUID != 0)); then
    command -v sudo >/dev/null || { echo "install-deps: run as root or install sudo" >&2; exit 1; }
    sudo=(sudo)
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if [[ " ${missing[*]}" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qxF i386; then
    "${sudo[@]}" dpkg --add-architecture i386
fi
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "install-deps: done"

#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the demo and the
# benchmarks need, asking apt only for what is missing.
set -euo pipefail

packages=(
    cmake make g++ pkg-config clang libclang-rt-14-dev
    qtbase5-dev qttools5-dev qttools5-dev-tools libquazip1-qt5-dev zlib1g-dev
    xvfb xauth xdotool x11-utils x11-apps imagemagick fonts-noto-cjk fonts-dejavu-core openbox wmctrl
    x11-xserver-utils libxext6 dbus-daemon at-spi2-core python3-pyatspi
    python3 openssl curl unzip zip libarchive-tools nginx-light tinyproxy-bin procps time util-linux iproute2
    libsodium-dev minisign
    mingw-w64 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64 locales
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo_cmd apt-get update -qq
$sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"

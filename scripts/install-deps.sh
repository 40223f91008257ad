#!/usr/bin/env bash
# Installs every Debian 12 package that building, running and testing Quillon needs.
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config git
  qt6-base-dev qt6-base-dev-tools qt6-multimedia-dev libqt6printsupport6 libqt6test6
  libplist-dev libssl-dev libsqlite3-dev zlib1g-dev libsecret-1-dev
  libcurl4-openssl-dev nlohmann-json3-dev libprotobuf-c-dev protobuf-c-compiler
  libopus-dev libopusfile-dev libogg-dev
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang lld-14 llvm-14
  xvfb xauth sqlite3
  unrtf libxml2-utils libheif-dev
  iproute2
  gdb
  libimobiledevice-dev libusbmuxd-dev
  zip xdg-utils file desktop-file-utils python3
  libheif-dev fonts-noto-color-emoji poppler-utils
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

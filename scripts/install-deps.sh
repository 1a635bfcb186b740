#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, test, package and benchmark the utility.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
  build-essential cmake ninja-build pkg-config git ca-certificates \
  libusb-1.0-0-dev libssl-dev zlib1g-dev \
  libcli11-dev nlohmann-json3-dev libcpp-httplib-dev \
  libgtest-dev libgmock-dev libbenchmark-dev \
  qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools \
  libgl-dev libxkbcommon-dev \
  umockdev libumockdev-dev \
  cups cups-client cups-bsd \
  srecord openssl \
  clang libclang-rt-14-dev llvm \
  dpkg-dev file xauth xvfb xdotool imagemagick \
  prometheus lintian appstream curl \
  >/dev/null

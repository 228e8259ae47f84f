#!/usr/bin/env bash
# Installs every Debian package the program, its tests and benchmarks need.
set -euo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
  build-essential cmake ninja-build pkg-config git \
  qt6-base-dev libqt6opengl6-dev qt6-qpa-plugins libgl-dev libgl1-mesa-dri libglx-mesa0 \
  libmpv-dev libcurl4-openssl-dev libzip-dev zlib1g-dev \
  libgtest-dev libgmock-dev libbenchmark-dev \
  xvfb xauth fonts-dejavu-core nginx-light zip unzip curl mpv \
  clang libclang-rt-14-dev \
  desktop-file-utils appstream dbus dbus-x11 >/dev/null

#!/usr/bin/env bash
# Installs every Debian 12 package that building, testing and running the player needs.
# Quick when everything is already present: apt-get runs only for what is missing.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config ccache git
  # Qt 6.4
  qt6-base-dev qt6-base-dev-tools qt6-declarative-dev qt6-declarative-dev-tools
  qt6-webengine-dev qt6-webengine-dev-tools qt6-wayland qt6-image-formats-plugins
  libqt6opengl6-dev libgl-dev libegl-dev
  qml6-module-qtquick qml6-module-qtquick-window qml6-module-qtquick-controls
  qml6-module-qtquick-templates qml6-module-qtquick-layouts qml6-module-qtqml-workerscript
  qml6-module-qtwebengine qml6-module-qtquick-shapes
  # GStreamer 1.22
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libgstreamer-plugins-bad1.0-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
  gstreamer1.0-libav gstreamer1.0-gl gstreamer1.0-qt6 gstreamer1.0-tools
  # storage, crypto, archives
  libssl-dev libarchive-dev zlib1g-dev
  # compositor for the window tests and for running locally, with the GL drivers it and the
  # player render through (recommended packages are not installed, so name them)
  weston libegl-mesa0 libgl1-mesa-dri libgles2 xkb-data
  # typefaces compiled into the player
  fonts-dejavu-core
  # benchmarks (python3-h2: the HTTP/2 origin of bench/tls_transfer)
  libbenchmark-dev python3-h2
  # zone database for the page schedule tests
  tzdata
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

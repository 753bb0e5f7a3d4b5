#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs every Debian package that building, testing and running the program needs.
# Safe to run again; uses sudo when not root.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-webengine-dev libqt6webenginecore6-bin libgl-dev
  libcurl4-openssl-dev libjson-c-dev libicu-dev libsqlite3-dev libssl-dev
  libgtest-dev libgmock-dev libcpp-httplib-dev
  curl openssl xvfb xauth xdg-utils fonts-wqy-microhei qt6-translations-l10n
  # the Debian package (scripts/package.sh) and the checks of it, its manual pages, its
  # desktop entry and its AppStream entry
  dpkg-dev file groff-base lintian desktop-file-utils appstream
  # the peers of the side-by-side benchmark (bench/side_by_side.cpp)
  wget aria2
  # using the window under Xvfb as a person would: a window manager, real clicks and keys
  openbox xdotool x11-apps netpbm
)
# Skip apt entirely when everything is present already (fast CI re-runs).
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

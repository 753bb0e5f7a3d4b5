#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package build/package/albumfetcher_<version>_amd64.deb from the release
# build, from a fresh Debian machine on. Install it with
#   apt-get install ./build/package/albumfetcher_<version>_amd64.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
cmake --preset release
# Only what the package holds; a release build made for the tests is reused as it is.
cmake --build --preset release --target albumfetcher albumfetcher-cli man_pages debian_changelog
cpack --config build/release/CPackConfig.cmake -B build/package
rm -rf build/package/_CPack_Packages
ls build/package/*.deb

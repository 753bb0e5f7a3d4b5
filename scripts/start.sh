#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the program and starts it, from a fresh Debian machine on. Arguments are passed on
# (for example --demo).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
cmake --preset release
cmake --build --preset release --target albumfetcher
exec build/release/src/albumfetcher "$@"

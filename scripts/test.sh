#!/usr/bin/env bash
# Builds everything and runs every test, from a fresh Debian machine on.
#   scripts/test.sh            release build + all tests, then the afcore tests under ASan/UBSan
#   AF_SKIP_ASAN=1 scripts/test.sh   skip the sanitizer pass
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
cmake --preset release
cmake --build --preset release
ctest --preset release
if [ "${AF_SKIP_ASAN:-0}" != "1" ]; then
  cmake --preset asan
  cmake --build --preset asan
  ctest --preset asan
fi

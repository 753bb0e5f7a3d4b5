#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds everything and runs every test, from a fresh Debian machine on.
#   scripts/test.sh                  release build + all tests, then the afcore tests under ASan/UBSan
#   AF_SKIP_ASAN=1 scripts/test.sh   skip the sanitizer pass
#   scripts/test.sh --stress [N]     only the tests that kill, fork, signal, pause or race, each
#                                    N times (15 unless given) under ASan/UBSan beside a busy loop
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh

if [ "${1:-}" = "--stress" ]; then
  repeat="${2:-15}"
  # The engine's threads, lanes and child processes: pause, continue and end at every
  # moment, several photos at once, kills and signals, the gate and the transfers it holds.
  pattern='^(DownloadControl|TransferGroupTest|TransferGateTest|Ends/TransferEndTest|FetchOutcomeTest|'\
'DownloadCrashTest|RecordStore\.Killed|RemoveTemporaryFiles\.Leaves|ParallelDownloadTest|Signals/CliInterruptTest)|'\
'^(DownloadTest|StorageTest|FlushedSaveTest|ImageAnswerTest|AlbumListService)\..*(Pause|End|Cover)'
  cmake --preset asan
  cmake --build --preset asan
  ( while :; do :; done ) &
  busy=$!
  trap 'kill $busy 2>/dev/null || true' EXIT
  ctest --preset asan -R "$pattern" --repeat "until-fail:$repeat"
  exit
fi

cmake --preset release
cmake --build --preset release
ctest --preset release
if [ "${AF_SKIP_ASAN:-0}" != "1" ]; then
  cmake --preset asan
  cmake --build --preset asan
  ctest --preset asan
fi

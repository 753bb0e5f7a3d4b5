#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# albumfetcher-screenshots with the demo: every picture of the window is saved, as a PNG
# of the window's size at the time, the program ends by itself with status 0, and none of
# the web engine's own output reaches stderr.
#   screenshots_test.sh PATH_OF_albumfetcher-screenshots
set -euo pipefail
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# The program directory holds the settings, the record and the demo's photos: a copy of
# the program in a scratch folder keeps them out of the build.
cp "$1" "$work/"
status=0
"$work/$(basename "$1")" --demo "$work/out" 2>"$work/stderr" || status=$?
cat "$work/stderr" >&2
[ "$status" = 0 ] || exit "$status"

failed=0
# The engine's sandbox note, Chromium's log lines ("[pid:tid:..."), the pages' console.
if grep -nE '^(Sandboxing disabled by user\.|js: |\[[0-9]+:[0-9]+:)' "$work/stderr"; then
  echo "the web engine's own output reached stderr"
  failed=1
fi
while read -r name width height; do
  file="$work/out/$name"
  if [ ! -s "$file" ]; then
    echo "missing: $name"
    failed=1
    continue
  fi
  # The PNG signature, then the IHDR chunk's width and height (big-endian, bytes 16-23).
  signature="$(od -An -tx1 -N8 "$file" | tr -d ' \n')"
  read -r -a size <<<"$(od -An -tu1 -j16 -N8 "$file")"
  got_width=$(((size[0] << 24) | (size[1] << 16) | (size[2] << 8) | size[3]))
  got_height=$(((size[4] << 24) | (size[5] << 16) | (size[6] << 8) | size[7]))
  if [ "$signature" != "89504e470d0a1a0a" ] || [ "$got_width" != "$width" ] || [ "$got_height" != "$height" ]; then
    echo "$name: signature $signature, ${got_width}x${got_height}, wanted a PNG of ${width}x${height}"
    failed=1
  fi
done <<'SHOTS'
page-login.png 940 638
page-albums.png 940 638
page-settings.png 940 638
albums-1400x900.png 1400 900
demo-download.png 940 638
SHOTS
exit "$failed"

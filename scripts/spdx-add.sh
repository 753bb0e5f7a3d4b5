#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Gives every source file that lacks it the licence line, as its first line (after a "#!"
# line): "// SPDX-License-Identifier: GPL-3.0-or-later" in C and C++, the same after "#" in
# CMake, shell and Python. Files that carry the line in their first three lines are left as
# they are, so that it can run again after new files came. Names each file it changes.
#   scripts/spdx-add.sh
set -euo pipefail
cd "$(dirname "$0")/.."
identifier="SPDX-License-Identifier: GPL-3.0-or-later"

# The comment that starts a line of FILE's language, or nothing for a file of no language
# here (data, documentation).
comment_of() {
  case ${1##*/} in
  *.cpp | *.cc | *.cxx | *.c | *.h | *.hpp | *.hxx) echo "//" ;;
  CMakeLists.txt | *.cmake | *.sh | *.bash | *.py) echo "#" ;;
  *.*) ;;
  *) if [ "$(head -c 2 "$1")" = "#!" ]; then echo "#"; fi ;;
  esac
}

{
  # (a folder that is missing has nothing to do)
  find src tests bench fuzz sample_service tools scripts -type f -print 2>/dev/null || true
  find . -path ./build -prune -o -path ./.git -prune -o \( -name CMakeLists.txt -o -name '*.cmake' \) \
    -type f -printf '%P\n'
} | sort -u | while IFS= read -r file; do
  comment=$(comment_of "$file")
  [ -n "$comment" ] || continue
  line="$comment $identifier"
  head -n 3 "$file" | grep -qxF "$line" && continue
  if [ ! -s "$file" ]; then
    echo "$line" >"$file"
  elif [ "$(head -c 2 "$file")" = "#!" ]; then
    sed -i "1a $line" "$file"
  else
    sed -i "1i $line" "$file"
  fi
  echo "$file"
done

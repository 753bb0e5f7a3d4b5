#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Every source file (C and C++, CMake, shell, Python) of src, tests, bench, fuzz,
# sample_service, tools and scripts, and every CMake file, carries the licence line in its
# first lines: "// SPDX-License-Identifier: GPL-3.0-or-later", "#" instead of "//" outside
# C and C++. scripts/spdx-add.sh gives it to the files that lack it, once, also to a tree
# made here.
#   spdx_test.sh SOURCE_DIR
set -uo pipefail
failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}

# The files of the tree in the current folder that lack the line, one a line; "none
# checked" when it holds no source file at all.
unlicensed() {
  local file comment checked=0
  while IFS= read -r -d '' file; do
    case ${file##*/} in
    *.cpp | *.cc | *.cxx | *.c | *.h | *.hpp | *.hxx) comment="//" ;;
    CMakeLists.txt | *.cmake | *.sh | *.bash | *.py) comment="#" ;;
    *.*) continue ;;
    *) if [ "$(head -c 2 "$file")" = "#!" ]; then comment="#"; else continue; fi ;;
    esac
    checked=$((checked + 1))
    head -n 3 "$file" | grep -qxF "$comment SPDX-License-Identifier: GPL-3.0-or-later" || echo "$file"
  done < <(find src tests bench fuzz sample_service tools scripts -type f -print0 2>/dev/null
    find . -path ./build -prune -o \( -name CMakeLists.txt -o -name '*.cmake' \) -type f -printf '%P\0')
  [ "$checked" -gt 0 ] || echo "none checked"
}

source_dir=$(realpath "$1")
missing=$(cd "$source_dir" && unlicensed | sort -u)
[ -z "$missing" ] || fail "without the line (scripts/spdx-add.sh adds it):
$missing"

# The script on a small tree: C++ at the top, a script's line after its "#!", data left
# alone, nothing more to do the second time.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/scripts" "$work/src" "$work/tests/data"
grep -vxF "# SPDX-License-Identifier: GPL-3.0-or-later" "$source_dir/scripts/spdx-add.sh" >"$work/scripts/spdx-add.sh"
chmod +x "$work/scripts/spdx-add.sh"
printf '#pragma once\n' >"$work/src/a.h"
printf '#!/bin/sh\necho run\n' >"$work/tests/run"
printf 'add_subdirectory(src)\n' >"$work/CMakeLists.txt"
printf '{"a": 1}\n' >"$work/tests/data/page.json"
changed=$("$work/scripts/spdx-add.sh" | sort | paste -sd' ')
[ "$changed" = "CMakeLists.txt scripts/spdx-add.sh src/a.h tests/run" ] || fail "spdx-add.sh changed: $changed"
again=$("$work/scripts/spdx-add.sh")
[ -z "$again" ] || fail "spdx-add.sh changed again: $again"
[ "$(head -n 2 "$work/tests/run" | paste -sd' ')" = "#!/bin/sh # SPDX-License-Identifier: GPL-3.0-or-later" ] ||
  fail "tests/run begins: $(head -n 2 "$work/tests/run")"
[ "$(cat "$work/tests/data/page.json")" = '{"a": 1}' ] || fail "spdx-add.sh changed a data file"
missing=$(cd "$work" && unlicensed)
[ -z "$missing" ] || fail "after spdx-add.sh, still without the line: $missing"
exit "$failed"

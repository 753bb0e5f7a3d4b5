#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Each program's --help, its manual page and the bash completion name the same options;
# --version, the manual pages and the changelog show the project's version; the manual
# pages render without a warning; the completion offers each option's values.
#   options_test.sh VERSION MAN_DIR COMPLETION CHANGELOG CLI [WINDOW]
set -uo pipefail
version=$1 man_dir=$2 completion=$(realpath "$3") changelog=$4
failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}

# The options of a --help text: the first column (up to two blanks) of the lines that
# begin with two blanks and a dash ("  -h, --help", "  --range FROM TO", "  --home <URL>").
help_options() {
  sed -n 's/^  \(-[^ ].*\)$/\1/p' | sed 's/  .*//' | grep -oE '(^|[ ,])--?[a-zA-Z][a-zA-Z-]*' |
    tr -d ' ,' | sort -u
}
# The options of a manual page's .OPT lines (their first argument, quoted or not).
man_options() {
  sed -n 's/^\.OPT "\([^"]*\)".*/\1/p; s/^\.OPT \([^" ][^ ]*\).*/\1/p' "$1" | sed 's/\\-/-/g' |
    grep -oE '(^|[ ,])--?[a-zA-Z][a-zA-Z-]*' | tr -d ' ,' | sort -u
}
# What the completion of PROGRAM offers for the words after it.
complete_words() {
  local program=$1
  shift
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
    function=$(complete -p "$1" | sed -n "s/.*-F \([^ ]*\) .*/\1/p")
    "$function"; printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$program" "$@" | sort
}
# compare WHAT_A LIST_A WHAT_B LIST_B PROGRAM: every option of A is in B.
compare() {
  local missing
  for missing in $(comm -23 <(echo "$2") <(echo "$4")); do
    fail "$5: $missing is in $1 but not in $3"
  done
}

check_program() {
  local path=$1 program
  program=$(basename "$path")
  local help man completed
  help=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$path" --help | help_options)
  [ -n "$help" ] || fail "$program --help lists no option"
  man=$(man_options "$man_dir/$program.1")
  completed=$(complete_words "$program" -)
  compare "--help" "$help" "its manual page (add a .OPT line to docs/man/$program.1.in)" "$man" "$program"
  compare "its manual page" "$man" "--help" "$help" "$program"
  compare "--help" "$help" "its bash completion (add a line to its table in data/completion.bash)" "$completed" "$program"
  compare "its bash completion" "$completed" "--help" "$help" "$program"

  # --version: one line with the project's version, no display needed, nothing on stderr.
  local out err
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$path" --version 2>"$work/err") ||
    fail "$program --version exits with status $?"
  err=$(cat "$work/err")
  [[ $out =~ ^(albumfetcher-cli \(Album Fetcher\)|Album Fetcher)\ $version$ ]] ||
    fail "$program --version says '$out', wanted the version $version"
  [ -z "$err" ] || fail "$program --version wrote to stderr: $err"

  # "--help" taken as another option's value opens no window without a display either.
  if [ "$program" = albumfetcher ]; then
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$path" --home --help >/dev/null 2>"$work/err"
    local status=$?
    [ "$status" = 2 ] && grep -q "cannot be the value" "$work/err" ||
      fail "$program --home --help: status $status, $(cat "$work/err")"

    # Without a display: one line and status 1, before anything starts (not the demo).
    env -i PATH="$PATH" HOME="$work" timeout 60 "$path" --demo >"$work/out" 2>"$work/err"
    status=$?
    [ "$status" = 1 ] && [ "$(wc -l <"$work/err")" = 1 ] && [ ! -s "$work/out" ] &&
      grep -q "^albumfetcher: no display .*albumfetcher-cli works without one$" "$work/err" ||
      fail "$program without a display: status $status, $(cat "$work/out" "$work/err")"
  fi

  grep -q "^\.TH .*\"Album Fetcher $version\"" "$man_dir/$program.1" ||
    fail "$program.1 does not carry the version $version"
  local warnings
  warnings=$(groff -man -ww -z -K utf8 -T utf8 "$man_dir/$program.1" 2>&1)
  [ -z "$warnings" ] || fail "$program.1 renders with warnings: $warnings"
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
shift 4
for program in "$@"; do check_program "$program"; done
grep -q "^## $version " "$changelog" || fail "CHANGELOG.md has no section '## $version'"

# The completion is registered and offers each option's values: the words of a set, only
# folders where a folder is wanted, files where a file is.
registered=$(bash -c 'source "$1"; complete -p albumfetcher-cli' _ "$completion")
[ "$registered" = "complete -F _albumfetcher_cli albumfetcher-cli" ] || fail "registered: '$registered'"
mkdir -p "$work/here/photos" "$work/here/pictures"
touch "$work/here/peizi.ini" "$work/here/cookies.txt"
cd "$work/here" || exit 1
while IFS='|' read -r words wanted; do
  # shellcheck disable=SC2086  # the words are split on purpose
  got=$(complete_words $words "" | paste -sd' ')
  [ "$got" = "$wanted" ] || fail "completing '$words ' offers '$got', wanted '$wanted'"
done <<'CASES'
albumfetcher-cli --record|off on
albumfetcher-cli --index|off on
albumfetcher-cli --albums|all
albumfetcher-cli --range|off
albumfetcher-cli --save-dir|photos pictures
albumfetcher-cli --program-dir|photos pictures
albumfetcher-cli --cookies|cookies.txt peizi.ini photos pictures
albumfetcher-cli --cookies-from-browser|firefox
albumfetcher-cli --service-base|
albumfetcher-cli --list|
albumfetcher-cli --record = |off on
albumfetcher --service-profile|bad-day classic today
albumfetcher --program-dir|photos pictures
albumfetcher --demo|
CASES
got=$(complete_words albumfetcher-cli --rec | paste -sd' ')
[ "$got" = "--record" ] || fail "completing '--rec' offers '$got'"
got=$(complete_words albumfetcher-cli --save-dir p | paste -sd' ')
[ "$got" = "photos pictures" ] || fail "completing '--save-dir p' offers '$got'"
exit "$failed"

#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Writes the Debian changelog of the package to standard output: one entry for each release
# of CHANGELOG.md ("## 1.0 (2026-12-09)"), newest first as there, its items rewrapped to 80
# columns; "## Unreleased" is no release and is left out.
#   debian-changelog.sh CHANGELOG.md "Name <address>"
set -euo pipefail
changelog=$1 maintainer=$2
# Bytes, not characters, are counted (LC_ALL=C): a line of Chinese wraps earlier, never later.
LC_ALL=C awk -v maintainer="$maintainer" '
  function flush(   n, words, i, line, lead) {
    if (text == "") return
    gsub(/\*\*/, "", text)
    n = split(text, words, " ")
    lead = item ? "  * " : "  "
    if (!item && lines) print ""
    lines++
    line = lead words[1]
    for (i = 2; i <= n; i++) {
      if (length(line) + 1 + length(words[i]) > 80) {
        print line
        line = (item ? "    " : "  ") words[i]
      } else {
        line = line " " words[i]
      }
    }
    print line
    text = ""
  }
  function close_entry(   stamp, command) {
    flush()
    if (version == "") return
    command = "date -u -R -d " date
    command | getline stamp
    close(command)
    print ""
    print " -- " maintainer "  " stamp
    version = ""
  }
  /^## / {
    close_entry()
    if (match($0, /^## [0-9][^ ]* \([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]\)$/)) {
      version = $2
      date = substr($3, 2, 10)
      if (entries++) print ""
      lines = 0
      print "albumfetcher (" version ") unstable; urgency=medium"
      print ""
    }
    next
  }
  version == "" { next }
  /^- / { flush(); item = 1; text = substr($0, 3); next }
  /^[ \t]*$/ { flush(); next }
  /^  / && item && text != "" { sub(/^ +/, ""); text = text " " $0; next }
  item || text == "" { flush(); item = 0; text = $0; next }
  { text = text " " $0 }
  END {
    close_entry()
    if (!entries) { print "no release section (## VERSION (YYYY-MM-DD)) in the changelog" > "/dev/stderr"; exit 1 }
  }
' "$changelog"

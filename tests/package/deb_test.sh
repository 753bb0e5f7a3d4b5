#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package made from this build tree: its name, its control fields (with the
# libraries the binaries link among its dependencies) and exactly the files it installs,
# stripped, the programs answering --version; the releases of its changelog, its Debian
# changelog and its AppStream entry the same; and, where they are installed, lintian,
# appstreamcli and desktop-file-validate without an error or a warning.
#   deb_test.sh BUILD_DIR VERSION
set -uo pipefail
build=$1 version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}

cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 || {
  cat "$work/cpack.log"
  exit 1
}
architecture=$(dpkg --print-architecture)
deb="$work/albumfetcher_${version}_${architecture}.deb"
[ -f "$deb" ] || {
  echo "FAIL: no $(basename "$deb") among: $(ls "$work")"
  exit 1
}

field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = albumfetcher ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), wanted $version"
[ "$(field Architecture)" = "$architecture" ] || fail "Architecture: $(field Architecture)"
contact='^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$'
[[ $(field Maintainer) =~ $contact ]] || fail "Maintainer without an address: $(field Maintainer)"
[ -n "$(field Description)" ] || fail "no Description"
depends=$(field Depends)
# Worked out from the binaries: each library package with the version it needs at least.
for library in libc6 libstdc++6 libcurl4 libqt6core6 libqt6gui6 libqt6widgets6 libqt6webenginecore6 \
  libqt6webenginewidgets6 libjson-c5 libsqlite3-0 libicu72; do
  [[ ", $depends," == *", $library (>= "* ]] || fail "Depends lacks '$library (>= ...)': $depends"
done
# What the window needs at run time without linking it: the web engine's helper process
# and the window system plugins.
for package in libqt6webenginecore6-bin qt6-qpa-plugins; do
  [[ ", $depends," == *", $package"[\ ,]* ]] || fail "Depends lacks $package: $depends"
done

files=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
wanted="./usr/bin/albumfetcher
./usr/bin/albumfetcher-cli
./usr/share/applications/io.github.albumfetcher.AlbumFetcher.desktop
./usr/share/bash-completion/completions/albumfetcher
./usr/share/bash-completion/completions/albumfetcher-cli
./usr/share/doc/albumfetcher/CHANGELOG.md
./usr/share/doc/albumfetcher/changelog.gz
./usr/share/doc/albumfetcher/copyright
./usr/share/icons/hicolor/scalable/apps/albumfetcher.svg
./usr/share/man/man1/albumfetcher-cli.1.gz
./usr/share/man/man1/albumfetcher.1.gz
./usr/share/metainfo/io.github.albumfetcher.AlbumFetcher.metainfo.xml"
[ "$files" = "$wanted" ] || fail "files differ (< in the package, > wanted):
$(diff <(echo "$files") <(echo "$wanted"))"
dpkg-deb --contents "$deb" | awk '$2 != "root/root" { print; bad = 1 } END { exit bad }' >&2 ||
  fail "files not owned by root"

dpkg-deb --extract "$deb" "$work/root"
for program in albumfetcher albumfetcher-cli; do
  file "$work/root/usr/bin/$program" | grep -q ', stripped' || fail "$program is not stripped"
  env -u DISPLAY -u QT_QPA_PLATFORM "$work/root/usr/bin/$program" --version | grep -qx ".* $version" ||
    fail "the packaged $program does not answer --version with $version"
done
zcat "$work/root/usr/share/man/man1/albumfetcher-cli.1.gz" | grep -q "^\.TH ALBUMFETCHER-CLI 1 " ||
  fail "albumfetcher-cli.1.gz is not its manual page"

# Each release as "VERSION DATE", newest first: of CHANGELOG.md, the Debian changelog and
# the AppStream entry; the newest is this version.
doc=$work/root/usr/share/doc/albumfetcher
releases=$(sed -nE 's/^## ([0-9][^ ]*) \(([0-9]{4}-[0-9]{2}-[0-9]{2})\)$/\1 \2/p' "$doc/CHANGELOG.md")
[ "${releases%% *}" = "$version" ] || fail "the newest release of CHANGELOG.md is not $version: $releases"
zcat "$doc/changelog.gz" >"$work/changelog"
debian=$(dpkg-parsechangelog -l "$work/changelog" --all --format rfc822 | while read -r name value; do
  case $name in
  Version:) entry=$value ;;
  Date:) echo "$entry $(date -u +%F -d "$value")" ;;
  esac
done)
[ "$debian" = "$releases" ] || fail "the Debian changelog's releases differ from CHANGELOG.md's:
$(diff <(echo "$debian") <(echo "$releases"))"
metainfo=$work/root/usr/share/metainfo/io.github.albumfetcher.AlbumFetcher.metainfo.xml
appstream=$(sed -nE 's/.*<release version="([^"]*)" date="([^"]*)".*/\1 \2/p' "$metainfo")
[ "$appstream" = "$releases" ] || fail "the AppStream entry's releases differ from CHANGELOG.md's (data/*.metainfo.xml):
$(diff <(echo "$appstream") <(echo "$releases"))"

# check TOOL ARGUMENTS...: TOOL, when installed, exits 0 and says nothing of an error, a
# warning or a hint.
check() {
  command -v "$1" >/dev/null || {
    echo "$1 is not installed: not run"
    return
  }
  local out status
  out=$("$@" 2>&1)
  status=$?
  if [ "$status" != 0 ] || grep -qE '^[EW]: |: (error|warning|hint): ' <<<"$out"; then
    fail "$1 (status $status):
$out"
  fi
}
check lintian --fail-on error,warning "$deb"
check appstreamcli validate-tree --no-net "$work/root"
check desktop-file-validate "$work/root/usr/share/applications/io.github.albumfetcher.AlbumFetcher.desktop"
exit "$failed"

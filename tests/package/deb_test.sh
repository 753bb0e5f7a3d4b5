#!/usr/bin/env bash
# The Debian package made from this build tree: its name, its control fields (with the
# libraries the binaries link among its dependencies) and exactly the files it installs,
# stripped, the programs answering --version.
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
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
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
./usr/share/applications/albumfetcher.desktop
./usr/share/bash-completion/completions/albumfetcher
./usr/share/bash-completion/completions/albumfetcher-cli
./usr/share/doc/albumfetcher/CHANGELOG.md
./usr/share/icons/hicolor/scalable/apps/albumfetcher.svg
./usr/share/man/man1/albumfetcher-cli.1.gz
./usr/share/man/man1/albumfetcher.1.gz"
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
exit "$failed"

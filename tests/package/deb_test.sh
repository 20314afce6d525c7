#!/usr/bin/env bash
# The Debian package as IT receives it: built with CPack from the normal build, clean for lintian
# (no errors), the FHS layout file for file, the binary stripped, the dependencies found.
# Usage: deb_test.sh <build-dir> <version>
set -euo pipefail
build=$1
version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack"; }
deb="$work/kelvara_${version}_amd64.deb"
[ -f "$deb" ] || fail "no $deb"
lintian --fail-on error "$deb" || fail "lintian reports errors"

expected="/usr/bin/kelvara
/usr/share/applications/kelvara.desktop
/usr/share/doc/kelvara/README.md
/usr/share/doc/kelvara/changelog.gz
/usr/share/doc/kelvara/copyright
/usr/share/doc/kelvara/examples/Settings.ini
/usr/share/icons/hicolor/256x256/apps/kelvara.png
/usr/share/icons/hicolor/32x32/apps/kelvara.png
/usr/share/icons/hicolor/48x48/apps/kelvara.png
/usr/share/icons/hicolor/scalable/apps/kelvara.svg
/usr/share/man/man1/kelvara.1.gz
/usr/share/metainfo/org.kelvara.Kelvara.metainfo.xml"
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' | sort)
[ "$files" = "$expected" ] || fail "file list differs: $(diff <(echo "$expected") <(echo "$files"))"

dpkg-deb -x "$deb" "$work/root"
readelf -S "$work/root/usr/bin/kelvara" | grep -qE '\.symtab|\.debug_' && fail "binary not stripped"
grep -qx 'Exec=/usr/bin/kelvara' "$work/root/usr/share/applications/kelvara.desktop" || fail "Exec"
grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    "$work/root/usr/share/doc/kelvara/copyright" || fail "copyright format"
depends=$(dpkg-deb -f "$deb" Depends)
for package in fonts-liberation2 libqt6widgets6 libdcmtk17; do
    [[ "$depends" == *"$package"* ]] || fail "Depends lacks $package: $depends"
done
echo "deb package test passed"

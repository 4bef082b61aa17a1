#!/usr/bin/env bash
# package_test.sh BUILD SOURCE: cpack builds the two Debian packages, korvane-scan without Qt
# and korvane recommending it, both of the version of debian/changelog; lintian finds no error or warning; their binaries are hardened;
# together they hold what an install does; their tree passes appstreamcli validate-tree; the
# tool unpacked from them (not installed) runs; packing again gives the same bytes.
. "$(dirname "$0")/common.sh"
BUILD="$1" SOURCE="$2"

pack() {
  cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$1" >"$WORK/cpack.log" 2>&1 \
    || { cat "$WORK/cpack.log"; fail "cpack"; }
}
pack "$WORK/out"
VERSION="$(dpkg-parsechangelog -l "$SOURCE/debian/changelog" -S Version)"
DEB="$WORK/out/korvane_${VERSION}_amd64.deb" SCAN="$WORK/out/korvane-scan_${VERSION}_amd64.deb"
[ -f "$DEB" ] && [ -f "$SCAN" ] || fail "no $DEB and $SCAN: $(ls "$WORK/out")"

for deb in "$DEB" "$SCAN"; do
  [ "$(dpkg-deb -f "$deb" Section)" = utils ] || fail "section of $deb"
done
# The descriptions are those of debian/control.
for deb in "$DEB" "$SCAN"; do
  package="$(dpkg-deb -f "$deb" Package)"
  [ "$(dpkg-deb -f "$deb" Description)" = "$(sed -n "/^Package: $package\$/,/^\$/p" "$SOURCE/debian/control" |
    sed -n '/^Description: /,$p' | sed 's/^Description: //; /^$/d')" ] || fail "description of $package"
done
depends="$(dpkg-deb -f "$DEB" Depends)"
grep -q 'libqt6widgets6' <<<"$depends" && grep -q 'libc6' <<<"$depends" && grep -qw 'qt6-wayland' <<<"$depends" &&
  ! grep -q 'korvane-scan' <<<"$depends" || fail "depends: $depends"
[ "$(dpkg-deb -f "$DEB" Recommends)" = korvane-scan ] || fail "recommends: $(dpkg-deb -f "$DEB" Recommends)"
depends="$(dpkg-deb -f "$SCAN" Depends)"
grep -q 'libc6' <<<"$depends" && ! grep -qi 'qt' <<<"$depends" || fail "depends of korvane-scan: $depends"

# No bug announces the package yet, for its first changelog entry to close.
lintian --fail-on error,warning --suppress-tags initial-upload-closes-no-bugs "$DEB" "$SCAN" >"$WORK/lintian.log" 2>&1 \
  || { cat "$WORK/lintian.log"; fail "lintian"; }

# Each installed file in exactly one package, under /usr.
for deb in "$DEB" "$SCAN"; do dpkg-deb -c "$deb"; done | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./usr/||' |
  LC_ALL=C sort | diff -u "$SOURCE/tests/dist/installed-files.txt" - \
  || fail "the packages' files differ from tests/dist/installed-files.txt"

dpkg-deb -x "$DEB" "$WORK/root"
dpkg-deb -x "$SCAN" "$WORK/root"
check_hardened "$WORK"/root/usr/bin/*
# The metainfo's launchable, the desktop entry and the icon agree.
appstreamcli validate-tree --no-net "$WORK/root" >"$WORK/as.log" 2>&1 || { cat "$WORK/as.log"; fail "validate-tree"; }
grep -qx 'Exec=kvor' "$WORK"/root/usr/share/applications/*.desktop || fail "Exec under /usr"
status=0
version="$("$WORK/root/usr/bin/kvor-scan" --version)" || status=$?
[ "$status" -eq 0 ] && [ "$version" = "kvor-scan ${VERSION%-*}" ] || fail "kvor-scan --version: status $status, printed: $version"
scan_small_tree "$WORK/root/usr/bin/kvor-scan"

# Packed again, later: the same bytes (every time in them is the last commit's).
pack "$WORK/again"
for deb in "$DEB" "$SCAN"; do
  cmp "$deb" "$WORK/again/$(basename "$deb")" || fail "$(basename "$deb") differs when packed again"
done
echo "package: $(basename "$DEB") $(du -k "$DEB" | cut -f1) KB, $(basename "$SCAN") $(du -k "$SCAN" | cut -f1) KB," \
  "lintian clean, hardened, the same bytes when packed again"

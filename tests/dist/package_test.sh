#!/usr/bin/env bash
# package_test.sh BUILD: cpack builds the Debian package, lintian finds no error or warning,
# its tree passes appstreamcli validate-tree, and the tool unpacked from it (not installed) runs.
. "$(dirname "$0")/common.sh"
BUILD="$1"

cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$WORK/out" >"$WORK/cpack.log" 2>&1 \
  || { cat "$WORK/cpack.log"; fail "cpack"; }
DEB="$WORK/out/korvane_1.5.0_amd64.deb"
[ -f "$DEB" ] || fail "no $DEB: $(ls "$WORK/out")"

[ "$(dpkg-deb -f "$DEB" Section)" = utils ] || fail "section"
# The description is the metainfo's: its summary, then its paragraphs.
description="$(dpkg-deb -f "$DEB" Description)"
[ "$(head -n 1 <<<"$description")" = "Shows disk space usage of entire subdirectory levels" ] &&
  [ "$(grep -c '^ \.$' <<<"$description")" -eq 2 ] && grep -q 'the same scan as text\.$' <<<"$description" ||
  fail "description: $description"
depends="$(dpkg-deb -f "$DEB" Depends)"
grep -q 'libqt6widgets6' <<<"$depends" && grep -q 'libc6' <<<"$depends" || fail "depends: $depends"

lintian --fail-on error,warning "$DEB" >"$WORK/lintian.log" 2>&1 \
  || { cat "$WORK/lintian.log"; fail "lintian"; }

dpkg-deb -x "$DEB" "$WORK/root"
# The metainfo's launchable, the desktop entry and the icon agree.
appstreamcli validate-tree --no-net "$WORK/root" >"$WORK/as.log" 2>&1 || { cat "$WORK/as.log"; fail "validate-tree"; }
status=0
version="$("$WORK/root/usr/bin/kvor-scan" --version)" || status=$?
[ "$status" -eq 0 ] && [ "$version" = "kvor-scan 1.5" ] || fail "kvor-scan --version: status $status, printed: $version"
scan_small_tree "$WORK/root/usr/bin/kvor-scan"
echo "package: $(basename "$DEB"), $(du -k "$DEB" | cut -f1) KB, lintian clean"

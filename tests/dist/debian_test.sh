#!/usr/bin/env bash
# debian_test.sh BUILD SOURCE: the source package builds in a clean bookworm chroot, twice to
# the same bytes, lintian finds no error or warning, the autopkgtests pass and a purge leaves
# nothing (scripts/debian-build.sh); its binaries are hardened, carry no build path and hold
# the files that cpack packs from BUILD: the same paths and modes, the same sizes but for
# the programs. Long (two builds in chroots): `make debian-test`, not part of `make test`.
. "$(dirname "$0")/common.sh"
BUILD="$1" SOURCE="$2"
OUT="${DEBIAN_OUT:-$SOURCE/build-debian}"

"$SOURCE/scripts/debian-build.sh" --twice "$OUT" || fail "scripts/debian-build.sh"
cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$WORK/cpack" >"$WORK/cpack.log" 2>&1 \
  || { cat "$WORK/cpack.log"; fail "cpack"; }

# contents DEB: mode, owner and path of each entry, and the size of each that is no program.
contents() {
  dpkg-deb -c "$1" | awk '$6 != "./" { size = ($6 ~ /^\.\/usr\/bin\// || $1 ~ /^d/) ? "" : " " $3; print $1, $2, $6 size }' |
    LC_ALL=C sort
}
for package in korvane korvane-scan; do
  deb=("$OUT"/result/"${package}"_*.deb) cpacked=("$WORK"/cpack/"${package}"_*.deb)
  [ -f "${deb[0]}" ] && [ -f "${cpacked[0]}" ] || fail "no $package package: ${deb[*]} ${cpacked[*]}"
  diff -u <(contents "${cpacked[0]}") <(contents "${deb[0]}") \
    || fail "$package: the source package's binary holds other files than cpack's"
  rm -rf "$WORK/root" && dpkg-deb -x "${deb[0]}" "$WORK/root"
  check_hardened "$WORK"/root/usr/bin/*
  ! grep -rlaE "/build/korvane-|/srv/another/place" "$WORK/root" || fail "$package: a build path in the files above"
done
# Lintian's informational tags, for the record (errors and warnings already failed the build).
echo "lintian: $(grep -c '^[IPX]:' "$OUT/lintian.log" || true) informational tags"
echo "debian: built in a clean chroot twice to the same bytes, lintian and autopkgtest clean," \
  "the files of cpack's packages"

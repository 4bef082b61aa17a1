#!/usr/bin/env bash
# reproducible_test.sh SOURCE: two builds of korvane-scan, in folders of other names and
# depths and at other times, make the same package, byte for byte.
. "$(dirname "$0")/common.sh"
SOURCE="$1"

for build in "$WORK/one" "$WORK/another/build"; do
  # No compiler launcher: a cache that rewrites paths would hide what the compiler does.
  cmake -S "$SOURCE" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVOR_GUI=OFF -DKVOR_TESTS=OFF \
    -DCMAKE_CXX_COMPILER_LAUNCHER= >"$WORK/cmake.log" 2>&1 || { cat "$WORK/cmake.log"; fail "cmake"; }
  cmake --build "$build" -j "$(nproc)" >"$WORK/build.log" 2>&1 || { cat "$WORK/build.log"; fail "build"; }
  (cd "$build" && env -u SOURCE_DATE_EPOCH cpack -B "$build/out") >"$WORK/cpack.log" 2>&1 \
    || { cat "$WORK/cpack.log"; fail "cpack"; }
done
ls "$WORK/one/out"/*.deb >/dev/null || fail "no package: $(ls "$WORK/one/out")"
for deb in "$WORK/one/out"/*.deb; do
  cmp "$deb" "$WORK/another/build/out/$(basename "$deb")" || fail "two builds of $(basename "$deb") differ"
done
echo "reproducible: $(cd "$WORK/one/out" && echo *.deb) the same from two builds"

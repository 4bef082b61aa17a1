#!/usr/bin/env bash
# Builds the Debian source package and its binaries from the last commit, as a buildd does:
# in a clean bookworm chroot made with debootstrap from the configured mirror, with only the
# declared build dependencies, as a user that is not root and without network. Then runs
# lintian (pedantic) on the .changes, which names the .dsc and the .debs, and the
# autopkgtests in a second clean chroot with the built packages.
#   scripts/debian-build.sh [--twice] [--no-tests] [OUT]   (OUT: build-debian/)
# --twice builds the binaries once more, in another folder, and compares them byte for
# byte. Needs root (chroot, mount), debootstrap, dpkg-dev, lintian and autopkgtest on the host.
set -euo pipefail
SRC="$(cd "$(dirname "$0")/.." && pwd)"
TWICE=0 TESTS=1
while [ $# -gt 0 ]; do
  case "$1" in
    --twice) TWICE=1 ;;
    --no-tests) TESTS=0 ;;
    -*) echo "debian-build: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
  shift
done
OUT="$(mkdir -p "${1:-$SRC/build-debian}" && cd "${1:-$SRC/build-debian}" && pwd)"
JOBS="${JOBS:-2}"
step() { printf '%s debian-build: %s\n' "$(date -u +%T)" "$*"; }
fail() { echo "debian-build: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "needs root (debootstrap, chroot, mount)"
for tool in debootstrap dpkg-parsechangelog lintian autopkgtest; do
  command -v "$tool" >/dev/null || fail "no $tool: scripts/install-deps.sh debian"
done

# The Debian mirror the machine's apt uses: the first source of the bookworm suite.
mirror() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk '$1 == "deb" { for (i = 2; i < NF; i++) if ($i !~ /^\[/ && $(i + 1) == "bookworm") { print $i; exit } }' "$f"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v RS= '/(^|\n)Suites:([^\n]* )?bookworm( |\n|$)/ && /(^|\n)Types:[^\n]*deb( |\n|$)/ {
      if (match($0, /(^|\n)URIs: *[^ \n]+/)) { u = substr($0, RSTART, RLENGTH); sub(/.*URIs: */, "", u); print u; exit } }' "$f"
  done
}
MIRROR="${MIRROR:-$(mirror | head -n 1)}"
[ -n "$MIRROR" ] || fail "no bookworm mirror in /etc/apt/sources.list or sources.list.d"

# Mounted file systems of the chroots, undone however the script ends.
MOUNTS=()
cleanup() {
  local i
  for ((i = ${#MOUNTS[@]} - 1; i >= 0; i--)); do umount -l "${MOUNTS[$i]}" 2>/dev/null || true; done
}
trap cleanup EXIT
# fresh_chroot DIR: a copy of the debootstrapped base, with /proc and the host's resolver
# (for the mirror). Its root is a mount point of its own, as a buildd's chroot is, so that
# the mount table seen inside has a drive at /.
fresh_chroot() {
  local m
  findmnt -rn -o TARGET | awk -v d="$1" '$0 == d || index($0, d "/") == 1' | sort -r | while IFS= read -r m; do umount -l "$m"; done
  rm -rf "$1"
  cp -a "$OUT/base" "$1"
  mount --bind "$1" "$1" && MOUNTS+=("$1")
  cp /etc/resolv.conf "$1/etc/resolv.conf"
  mount -t proc proc "$1/proc" && MOUNTS+=("$1/proc")
  mount -t tmpfs -o mode=1777 shm "$1/dev/shm" && MOUNTS+=("$1/dev/shm")
}

if [ ! -f "$OUT/base/.complete" ]; then
  step "debootstrap bookworm from $MIRROR"
  rm -rf "$OUT/base"
  debootstrap --variant=buildd bookworm "$OUT/base" "$MIRROR" >"$OUT/debootstrap.log" 2>&1 \
    || { tail -n 20 "$OUT/debootstrap.log"; fail "debootstrap"; }
  # As on a buildd: no recommended packages, and no documentation needed.
  echo 'APT::Install-Recommends "false";' >"$OUT/base/etc/apt/apt.conf.d/90buildd"
  chroot "$OUT/base" useradd --create-home --uid 2000 builder
  touch "$OUT/base/.complete"
fi

# The source: the last commit (uncommitted changes are not built). The upstream tarball is
# the tree without debian/, as `git archive` makes it; debian/ comes from the same commit.
VERSION="$(git -C "$SRC" show HEAD:debian/changelog | dpkg-parsechangelog -l- -S Version)"
UPSTREAM="${VERSION%-*}"
NAME="korvane-$UPSTREAM"
ORIG="korvane_$UPSTREAM.orig.tar.xz"
ARCH="$(dpkg --print-architecture)"
step "source $VERSION from commit $(git -C "$SRC" rev-parse --short HEAD)"
rm -rf "$OUT/result" && mkdir -p "$OUT/result"

# build DIR PARENT: source package and binaries built in chroot DIR under /PARENT.
build() {
  local root="$1" parent="$2"
  step "chroot $root: build dependencies"
  fresh_chroot "$root"
  mkdir -p "$root/$parent"
  git -C "$SRC" archive --format=tar --prefix="$NAME/" HEAD -- . ':(exclude)debian' | xz -6 -T1 >"$root/$parent/$ORIG"
  tar -C "$root/$parent" -xf "$root/$parent/$ORIG"
  git -C "$SRC" archive --format=tar --prefix="$NAME/" HEAD debian | tar -C "$root/$parent" -xf -
  chroot "$root" apt-get update -qq >"$OUT/apt.log" 2>&1 || { cat "$OUT/apt.log"; fail "apt-get update"; }
  chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get build-dep -y -qq "/$parent/$NAME" >>"$OUT/apt.log" 2>&1 \
    || { tail -n 30 "$OUT/apt.log"; fail "build dependencies"; }
  chroot "$root" chown -R builder:builder "/$parent"
  step "chroot $root: dpkg-buildpackage, as builder, without network"
  # SOURCE_DATE_EPOCH comes from debian/changelog, as dpkg-buildpackage sets it.
  unshare --net chroot "$root" setpriv --reuid=builder --regid=builder --init-groups \
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/nonexistent LC_ALL=C.UTF-8 \
    DEB_BUILD_OPTIONS="parallel=$JOBS" \
    sh -c "cd /$parent/$NAME && dpkg-buildpackage -us -uc -sa" >"$OUT/build-$(basename "$root").log" 2>&1 \
    || { tail -n 60 "$OUT/build-$(basename "$root").log"; fail "dpkg-buildpackage"; }
}

build "$OUT/chroot" build
C="$OUT/chroot/build"
cp "$C"/*.dsc "$C"/*.orig.tar.xz "$C"/*.debian.tar.xz "$C"/*.changes "$C"/*.buildinfo "$C"/*.deb \
  "$OUT/result/"
step "built: $(cd "$OUT/result" && echo *)"

# Suppressed, the one warning only the archive can mend: an initial upload closes the bug
# that announced the package (an ITP, which the sponsor files before uploading).
ITP=initial-upload-closes-no-bugs
step "lintian --pedantic (without $ITP)"
lintian --pedantic --display-info --display-experimental --fail-on error,warning --suppress-tags "$ITP" \
  "$OUT"/result/*.changes | tee "$OUT/lintian.log" || fail "lintian"

if [ "$TESTS" -eq 1 ]; then
  step "autopkgtest in a clean chroot"
  fresh_chroot "$OUT/testbed"
  chroot "$OUT/testbed" apt-get update -qq
  status=0
  rm -rf "$OUT/autopkgtest"
  autopkgtest --output-dir "$OUT/autopkgtest" --no-built-binaries \
    "$OUT"/result/*.deb "$OUT/chroot/build/$NAME/" -- chroot "$OUT/testbed" >"$OUT/autopkgtest.log" 2>&1 || status=$?
  sed -n '/@@@@@@@@@@@@@@@@@@@@ summary/,$p' "$OUT/autopkgtest.log"
  [ "$status" -eq 0 ] || { tail -n 40 "$OUT/autopkgtest.log"; fail "autopkgtest (status $status)"; }

  # Installed beside what they depend on and purged, twice: nothing of theirs is left.
  step "install and purge in a clean chroot"
  P="$OUT/purgebed"
  fresh_chroot "$P"
  mkdir -p "$P/debs" && cp "$OUT"/result/*.deb "$P/debs/"
  files() { chroot "$P" find / -xdev \( -path /proc -o -path /dev -o -path /debs -o -path /var/cache/apt \
    -o -path /var/lib/apt -o -path /var/lib/dpkg -o -path /var/log \) -prune -o -print | LC_ALL=C sort; }
  in_chroot() { chroot "$P" env DEBIAN_FRONTEND=noninteractive "$@" >>"$OUT/purge.log" 2>&1 || { cat "$OUT/purge.log"; fail "$*"; }; }
  in_chroot apt-get update -qq
  scan_only="$(chroot "$P" apt-get install -s -qq /debs/korvane-scan_"$VERSION"_"$ARCH".deb | grep -c '^Inst ')"
  in_chroot apt-get install -y -qq /debs/korvane_"$VERSION"_"$ARCH".deb /debs/korvane-scan_"$VERSION"_"$ARCH".deb
  in_chroot apt-get purge -y -qq korvane korvane-scan
  files >"$OUT/files-before"
  in_chroot apt-get install -y -qq /debs/korvane_"$VERSION"_"$ARCH".deb /debs/korvane-scan_"$VERSION"_"$ARCH".deb
  in_chroot apt-get purge -y -qq korvane korvane-scan
  diff -u "$OUT/files-before" <(files) || fail "left after purge"
  step "purge leaves nothing; korvane-scan alone installs $scan_only package(s)"
fi
if [ "$TWICE" -eq 1 ]; then
  # Another chroot, another folder name and depth.
  build "$OUT/chroot2" "srv/another/place"
  for deb in "$OUT"/result/*.deb; do
    cmp "$deb" "$OUT/chroot2/srv/another/place/$(basename "$deb")" || fail "$(basename "$deb") differs when built again"
  done
  step "reproducible: $(cd "$OUT/result" && echo *.deb) the same from two builds"
fi

step "done: $OUT/result"

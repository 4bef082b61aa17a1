#!/usr/bin/env bash
# Installs what Korvane needs on Debian 12, by step:
#   scripts/install-deps.sh [build] [run] [package] [test] [screenshots] [debian]
# (none: all but debian)
# Idempotent: installs only what is missing. Needs root (or sudo).
set -euo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

declare -A lists=(
  # Compiling (the X and Wayland client libraries for the start-up's display check);
  # rsvg-convert renders the PNG icons from the SVG.
  [build]="build-essential cmake pkg-config qt6-base-dev libxcb1-dev libwayland-dev librsvg2-bin"
  # A font for the windows on a machine that has none; the toolkit's plugin for Wayland
  # sessions (the X11 one comes with the toolkit).
  [run]="fonts-dejavu-core qt6-wayland"
  # cpack reads the binaries' library dependencies with dpkg-shlibdeps and file.
  [package]="dpkg-dev file"
  # GoogleTest (its CMake package also names gmock); a comma-decimal locale; the validators of
  # the desktop entry and AppStream data, lintian and the manual page renderers; bindfs for a
  # drive that stops answering; btrfs-progs for a drive with subvolumes and snapshots.
  [test]="libgtest-dev libgmock-dev locales
          desktop-file-utils appstream lintian groff-base man-db file bindfs fuse3 btrfs-progs"
  # scripts/screenshots.sh; mkfs.ext4 for its small real drive
  [screenshots]="xvfb openbox xdotool imagemagick e2fsprogs"
  # scripts/debian-build.sh: the clean chroot, the source package, its checks and tests
  [debian]="debootstrap dpkg-dev xz-utils git lintian autopkgtest"
)
steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(build run package test screenshots)

missing=()
for step in "${steps[@]}"; do
  [ -n "${lists[$step]+x}" ] || { echo "install-deps: unknown step $step" >&2; exit 2; }
  for p in ${lists[$step]}; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# A comma-decimal locale for the size-formatting tests.
if [[ " ${steps[*]} " == *" test "* ]] && ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  $SUDO sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen >/dev/null
fi

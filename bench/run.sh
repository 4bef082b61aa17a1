#!/usr/bin/env bash
# Benchmarks kvor-scan against du, ncdu and gdu on generated trees, warm cache, or with
# --cold the page cache dropped before every run (as root).
# Not part of the test suite. Settings come from the environment; see bench/README.md.
set -euo pipefail
shopt -s inherit_errexit   # a failing generator must stop the script, also inside $(...)

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
WORK=${KVOR_BENCH_DIR:-/tmp/kvor-bench}
SEED=${SEED:-1}
RUNS=${RUNS:-5}
SIZES=${SIZES:-"10000 200000 1000000"}
BUILD=${BUILD:-$repo/build}
KVOR=${KVOR_SCAN:-$BUILD/kvor-scan}
KIB_PER_ENTRY=6          # measured about 4.3 KiB per entry on ext4 with 4 KiB blocks
HEADROOM_KIB=$((1024 * 1024))

say() { printf '%s\n' "$*" >&2; }

install_missing() {
  local missing=() cmd pkg
  for cmd in ncdu gdu strace; do
    command -v "$cmd" >/dev/null || missing+=("$cmd")   # each package is named after its command
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  if [ -n "${CI:-}" ]; then
    say "CI: not installing ${missing[*]}; those tools are left out"
    return 0
  fi
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  say "installing ${missing[*]}"
  $sudo apt-get update -qq || true
  for pkg in "${missing[@]}"; do
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$pkg" >/dev/null \
      || say "could not install $pkg; it is left out"
  done
}

build_kvor() {
  # An explicitly given binary is taken as it is; otherwise bring the build up to date.
  [ -z "${KVOR_SCAN:-}" ] || return 0
  say "building kvor-scan in $BUILD"
  if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S "$repo" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || return 0
  fi
  cmake --build "$BUILD" --target kvor-scan -j "$(nproc)" >/dev/null \
    || say "warning: build failed; using the kvor-scan already there, if any"
  local type
  type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$BUILD/CMakeCache.txt")
  case "$type" in
    Release | RelWithDebInfo) ;;
    *) say "warning: $BUILD is a '$type' build; timings will not be representative" ;;
  esac
  if grep -q '^KVOR_SANITIZE:STRING=.\+' "$BUILD/CMakeCache.txt"; then
    say "warning: $BUILD is built with sanitizers; timings will not be representative"
  fi
}

# Prints the tree's path and expectation file as TREE:EXPECT, building the tree if needed.
make_tree() {
  local n=$1 tree="$WORK/tree-$1-s$SEED" expect="$WORK/tree-$1-s$SEED.expect"
  if [ -d "$tree" ] && [ -s "$expect" ]; then
    say "reusing $tree"
  else
    local need_kib=$((n * KIB_PER_ENTRY + HEADROOM_KIB)) avail_kib free_inodes
    rm -rf -- "$tree" "$expect"                     # a partial tree from an interrupted run
    avail_kib=$(df -Pk "$WORK" | awk 'NR == 2 { print $4 }')
    free_inodes=$(df -Pi "$WORK" | awk 'NR == 2 { print $4 }')
    if [ "$avail_kib" -lt "$need_kib" ] || { [ "$free_inodes" != "-" ] && [ "$free_inodes" -lt $((n + 100000)) ]; }; then
      say "skipping the $n-entry tree: $((avail_kib / 1024)) MiB and $free_inodes inodes free," \
          "about $((need_kib / 1024)) MiB needed"
      return 0
    fi
    say "generating $tree"
    python3 "$here/gentree.py" --seed "$SEED" --entries "$n" --out "$tree" --expect "$expect.partial"
    mv -- "$expect.partial" "$expect"               # the tree counts as complete only now
    sync                                            # no write-back during the timed runs
  fi
  printf '%s:%s\n' "$tree" "$expect"
}

main() {
  local cold_arg=()
  case "${1:-}" in
    "") ;;
    --cold) cold_arg=(--cold) ;;
    *) say "usage: bench/run.sh [--cold]"; exit 2 ;;
  esac
  case "$RUNS" in '' | *[!0-9]* | 0) say "RUNS must be a positive number"; exit 2 ;; esac
  case "$SEED" in '' | *[!0-9]*) say "SEED must be a number"; exit 2 ;; esac
  install_missing
  build_kvor
  local kvor_arg=()
  if [ -x "$KVOR" ]; then
    kvor_arg=(--kvor "$KVOR")
  else
    say "warning: no kvor-scan at $KVOR; measuring the other tools only"
  fi
  mkdir -p -- "$WORK/bin"
  local helper="$WORK/bin/rusage"
  if [ ! -x "$helper" ] || [ "$here/rusage.c" -nt "$helper" ]; then
    cc -O2 -Wall -o "$helper" "$here/rusage.c"
  fi
  local trees=() n t
  for n in $SIZES; do
    case "$n" in *[!0-9]*) say "bad size '$n' in SIZES"; exit 2 ;; esac
    t=$(make_tree "$n")
    [ -z "$t" ] || trees+=("$t")
  done
  [ ${#trees[@]} -gt 0 ] || { say "no tree to measure"; exit 1; }
  local strace_arg=()
  command -v strace >/dev/null && strace_arg=(--strace)
  echo "machine: $(nproc) cores, $(free -g | awk '/^Mem:/ { print $2 }') GiB," \
       "$(df -PT "$WORK" | awk 'NR == 2 { print $2 }') at $WORK"
  python3 -u "$here/measure.py" --rusage "$helper" --runs "$RUNS" "${cold_arg[@]}" "${kvor_arg[@]}" \
    "${strace_arg[@]}" "${trees[@]}"
}

main "$@"

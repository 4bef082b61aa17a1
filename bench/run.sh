#!/usr/bin/env bash
# Benchmarks kvor-scan against du, ncdu and gdu on trees of many shapes, warm cache, or with
# --cold the page cache dropped before every run (as root); --both does one then the other.
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
LABEL=${LABEL:-current}
STRACE=${STRACE:-1}
RT=${RT:-0}
# The window benchmark that goes with the scanner: beside a given kvor-scan, else the build's.
if [ -n "${KVOR_SCAN:-}" ]; then
  WINDOW=${KVOR_WINDOW_BENCH-$(dirname "$KVOR_SCAN")/kvor-window-bench}
else
  WINDOW=${KVOR_WINDOW_BENCH-$BUILD/kvor-window-bench}
fi
KVOR_ARG=()
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
  if [ -z "${KVOR_WINDOW_BENCH+set}" ]; then
    cmake --build "$BUILD" --target kvor-window-bench -j "$(nproc)" >/dev/null \
      || say "warning: kvor-window-bench did not build; no window figures"
  fi
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

ALL_SHAPES="gen lopsided wide-files wide-dirs tmpfs chains kernel node usr"
CHAINS="chain10k chain20k chain50k chain100k"
TMPFS=$WORK/tmpfs-1m
NODE_COPIES=10
KERNEL_COPIES=8

# Expands SHAPES ("all", "gen" for the SIZES trees, "chains") into shape names.
shape_names() {
  local s n out=()
  for s in ${SHAPES:-gen}; do
    case "$s" in
      all) SHAPES=$ALL_SHAPES shape_names; continue ;;
      gen) for n in $SIZES; do out+=("gen$n"); done ;;
      chains) out+=($CHAINS) ;;
      gen[0-9]* | lopsided | wide-files | wide-dirs | tmpfs | chain[0-9]*k | kernel | node | usr)
        out+=("$s") ;;
      *) say "unknown shape '$s' in SHAPES"; exit 2 ;;
    esac
  done
  [ ${#out[@]} -eq 0 ] || printf '%s\n' "${out[@]}"
}

enough_room() {  # NAME KIB INODES: says why not when the disk lacks either
  local avail_kib free_inodes
  avail_kib=$(df -Pk "$WORK" | awk 'NR == 2 { print $4 }')
  free_inodes=$(df -Pi "$WORK" | awk 'NR == 2 { print $4 }')
  if [ "$avail_kib" -lt $(($2 + HEADROOM_KIB)) ] \
     || { [ "$free_inodes" != "-" ] && [ "$free_inodes" -lt $(($3 + 100000)) ]; }; then
    say "skipping $1: $((avail_kib / 1024)) MiB and $free_inodes inodes free," \
        "about $(($2 / 1024)) MiB and $3 inodes needed"
    return 1
  fi
}

apt_install() {  # PACKAGE: true when it is installed or could be
  dpkg -s "$1" >/dev/null 2>&1 && return 0
  [ -z "${CI:-}" ] || return 1
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  say "installing $1"
  $sudo apt-get update -qq || true
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$1" >/dev/null
}

kernel_tarball() {
  local t
  t=$(ls /usr/src/linux-source-*.tar.xz 2>/dev/null | sort -V | tail -1)
  if [ -z "$t" ]; then
    apt_install linux-source-6.1 || apt_install linux-source || return 0
    t=$(ls /usr/src/linux-source-*.tar.xz 2>/dev/null | sort -V | tail -1)
  fi
  printf '%s\n' "$t"
}

# The node_modules of bench/node/package.json, installed once from its lock file.
node_project() {
  local stage=$WORK/stage/npm-project
  if [ ! -f "$stage.complete" ] || ! cmp -s "$here/node/package-lock.json" "$stage/package-lock.json"; then
    command -v npm >/dev/null || apt_install npm || return 0
    rm -f -- "$stage.complete"
    python3 "$here/shapes.py" remove "$stage"
    mkdir -p -- "$stage"
    cp -- "$here/node/package.json" "$here/node/package-lock.json" "$stage/"
    say "installing node_modules in $stage"
    (cd "$stage" && npm ci --ignore-scripts --no-audit --no-fund --no-progress --loglevel=error >&2) || return 0
    touch -- "$stage.complete"
  fi
  printf '%s\n' "$stage"
}

unmount_tmpfs() {  # lazily when a tool that was killed still holds it
  if mountpoint -q "$TMPFS"; then umount -- "$TMPFS" 2>/dev/null || umount -l -- "$TMPFS"; fi
}

mount_tmpfs() {
  mkdir -p -- "$TMPFS"
  unmount_tmpfs
  mount -t tmpfs -o size=1g,nr_inodes=1100000,mode=755 kvor-bench "$TMPFS"
  trap 'unmount_tmpfs || true' EXIT
}

built() { [ -d "$1" ] && [ -s "$2" ]; }   # TREE EXPECT: the expectation is written last

# Sets SHAPE_OUT to the shape's tree and expectation file as TREE:EXPECT, building the tree
# if needed; to nothing when it is skipped. Runs in the main shell: the tmpfs stays mounted. The expectation file tells measure.py the shape and its goals.
make_shape() {
  local name=$1 tree expect kib inodes goals build=()
  SHAPE_OUT=
  tree=$WORK/$name expect=$WORK/$name.expect
  case "$name" in
    gen*) local n=${name#gen}
      tree=$WORK/tree-$n-s$SEED expect=$WORK/tree-$n-s$SEED.expect
      kib=$((n * KIB_PER_ENTRY)) inodes=$n goals=gen
      build=(python3 "$here/gentree.py" --seed "$SEED" --entries "$n") ;;
    lopsided) tree=$WORK/lopsided-s$SEED expect=$WORK/lopsided-s$SEED.expect
      kib=$((1500 * 1024)) inodes=1000000 goals=real
      build=(python3 "$here/shapes.py" build lopsided --seed "$SEED") ;;
    wide-files) kib=$((100 * 1024)) inodes=500000 goals=wide
      build=(python3 "$here/shapes.py" build wide-files --count 500000) ;;
    wide-dirs) kib=$((900 * 1024)) inodes=200000 goals=wide
      build=(python3 "$here/shapes.py" build wide-dirs --count 200000) ;;
    tmpfs)
      if [ -n "$COLD" ]; then say "skipping tmpfs: its files live in memory; warm only"; return 0; fi
      if [ -z "$MEASURE" ]; then say "tmpfs: built when measured, gone after"; return 0; fi
      [ "$(id -u)" -eq 0 ] || { say "skipping tmpfs: mounting it needs root"; return 0; }
      mount_tmpfs
      tree=$TMPFS expect=$WORK/tmpfs-1m.expect kib=0 inodes=0 goals=wide
      rm -f -- "$expect"                             # the tree goes with the mount
      build=(python3 "$here/shapes.py" build wide-files --count 1000000 --info warm_only=1) ;;
    chain*) local n=${name#chain}; n=$((${n%k} * 1000))
      kib=$((n * 5)) inodes=$n goals=chain
      build=(python3 "$here/shapes.py" build chain --count "$n") ;;
    kernel) local tarball=
      kib=$((400 * 1024)) inodes=700000 goals=real
      if ! built "$tree" "$expect"; then             # the source only when it is needed
        tarball=$(kernel_tarball)
        [ -n "$tarball" ] || { say "skipping kernel: no linux-source tarball"; return 0; }
      fi
      build=(python3 "$here/shapes.py" build tar-copies --source "$tarball" --copies "$KERNEL_COPIES"
             --info "source=$(basename "$tarball")") ;;
    node) local project=
      kib=$((400 * 1024)) inodes=500000 goals=real
      if ! built "$tree" "$expect"; then
        project=$(node_project)
        [ -n "$project" ] || { say "skipping node: npm could not install the project"; return 0; }
      fi
      build=(python3 "$here/shapes.py" build dir-copies --source "$project" --copies "$NODE_COPIES") ;;
    usr) say "counting /usr"
      python3 "$here/shapes.py" count /usr --expect "$expect" --info shape=usr --info goals=real
      SHAPE_OUT=/usr:$expect
      return 0 ;;
  esac
  if built "$tree" "$expect"; then
    say "reusing $tree"
  else
    if [ "$tree" != "$TMPFS" ]; then               # a partial tree from an interrupted run
      python3 "$here/shapes.py" remove "$tree"
      rm -f -- "$expect"
    fi
    enough_room "$name" "$kib" "$inodes" || return 0
    say "building $name in $tree"
    local t0=$SECONDS
    "${build[@]}" --out "$tree" --expect "$expect.partial"
    printf 'info\tshape\t%s\ninfo\tgoals\t%s\n' "$name" "$goals" >>"$expect.partial"
    mv -- "$expect.partial" "$expect"               # the tree counts as complete only now
    say "built $name in $((SECONDS - t0)) s"
    sync                                            # no write-back during the timed runs
  fi
  SHAPE_OUT=$tree:$expect
}

measure() {  # [--cold]: times every shape once, warm or cold
  COLD=${1:-}
  local trees=() name
  for name in $(shape_names); do
    make_shape "$name"
    [ -z "$SHAPE_OUT" ] || trees+=("$SHAPE_OUT")
  done
  [ ${#trees[@]} -gt 0 ] || { say "no tree to measure"; return 1; }
  [ -n "$MEASURE" ] || return 0
  local extra=() mode=warm
  [ -z "$COLD" ] || { extra+=(--cold); mode=cold; }
  [ ${#KVOR_ARG[@]} -eq 0 ] || extra+=("${KVOR_ARG[@]}")
  [ -z "$WINDOW" ] || [ -n "$COLD" ] || extra+=(--window "$WINDOW")
  [ "$STRACE" = 0 ] || ! command -v strace >/dev/null || extra+=(--strace)
  [ -z "${TOOLS:-}" ] || extra+=(--tools "$TOOLS")
  echo "machine: $(nproc) cores, $(free -g | awk '/^Mem:/ { print $2 }') GiB," \
       "$(df -PT "$WORK" | awk 'NR == 2 { print $2 }') at $WORK; load: $(uptime | sed 's/.*load average: //')"
  # At real-time round-robin priority the runs keep both cores while others compile.
  local prio=()
  [ "$RT" = 0 ] || { [ "$(id -u)" = 0 ] && prio=(chrt -r 50); } || say "RT=1 needs root: measured at normal priority"
  "${prio[@]}" python3 -u "$here/measure.py" --rusage "$HELPER" --runs "$RUNS" "${extra[@]}" \
    --save "$WORK/results/$LABEL-$mode.json" "${trees[@]}"
}

main() {
  local modes=()
  MEASURE=1
  case "${1:-}" in
    "") modes=(warm) ;;
    --cold) modes=(cold) ;;
    --both) modes=(warm cold) ;;
    --build) modes=(warm); MEASURE= ;;
    *) say "usage: bench/run.sh [--cold | --both | --build]"; exit 2 ;;
  esac
  case "$RUNS" in '' | *[!0-9]* | 0) say "RUNS must be a positive number"; exit 2 ;; esac
  case "$SEED" in '' | *[!0-9]*) say "SEED must be a number"; exit 2 ;; esac
  case "$LABEL" in '' | */* | .*) say "LABEL must be a plain name"; exit 2 ;; esac
  shape_names >/dev/null
  mkdir -p -- "$WORK/bin" "$WORK/results"
  if [ -n "$MEASURE" ]; then
    install_missing
    build_kvor
    if [ -x "$KVOR" ]; then
      KVOR_ARG=(--kvor "$KVOR")
    else
      say "warning: no kvor-scan at $KVOR; measuring the other tools only"
    fi
    [ -x "$WINDOW" ] || { [ -z "$WINDOW" ] || say "no kvor-window-bench at $WINDOW; no window figures"; WINDOW=; }
    HELPER=$WORK/bin/rusage
    if [ ! -x "$HELPER" ] || [ "$here/rusage.c" -nt "$HELPER" ]; then
      cc -O2 -Wall -o "$HELPER" "$here/rusage.c"
    fi
  fi
  local mode
  for mode in "${modes[@]}"; do
    if [ "$mode" = cold ]; then measure --cold; else measure; fi
  done
  [ -n "$MEASURE" ] || return 0
  local before=()
  [ -z "${BEFORE:-}" ] || before=(--before "$BEFORE")
  python3 "$here/measure.py" --table "$WORK/results" --label "$LABEL" "${before[@]}"
}

main "$@"

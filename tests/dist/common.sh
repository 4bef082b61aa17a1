# Shared by the install and package checks: a temporary folder and a small tree to scan.
set -euo pipefail
WORK="$(mktemp -d "${TMPDIR:-/tmp}/kvor-dist-XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# check_hardened BINARY...: hardened as Debian's own: a stack protector, checked libc calls,
# position independent, relocations read-only and bound at start.
check_hardened() {
  local bin symbols headers symbol header
  for bin in "$@"; do
    symbols="$(readelf --dyn-syms -W "$bin")" headers="$(readelf -h -l -d -W "$bin")"
    for symbol in __stack_chk_fail '__[a-z0-9_]+_chk'; do
      grep -qE " $symbol@" <<<"$symbols" || fail "$(basename "$bin"): no $symbol"
    done
    for header in "Type: *DYN" "GNU_RELRO" "FLAGS_1.*NOW.*PIE"; do
      grep -qE "$header" <<<"$headers" || fail "$(basename "$bin"): no $header"
    done
  done
}

# scan_small_tree BINARY: the report of a two-directory tree, checked line by line.
scan_small_tree() {
  local tree="$WORK/tree" out
  mkdir -p "$tree/a/.h"
  printf 'abc' >"$tree/a/f"
  out="$("$1" "$tree")" || fail "$1 $tree exited $?"
  grep -q "^node	0	0?$tree	$tree " <<<"$out" || fail "root node:"$'\n'"$out"
  [ "$(grep -c '^node' <<<"$out")" -eq 3 ] || fail "three nodes expected:"$'\n'"$out"
  grep -q "^node	1	1?$tree/a	a    1 files(s) \[3.00 Bytes\], " <<<"$out" || fail "node a:"$'\n'"$out"
  grep -q "^node	2	2?$tree/a/.h	" <<<"$out" || fail "node .h:"$'\n'"$out"
  grep -qx "total	gTotalFileBytes	3" <<<"$out" || fail "file bytes:"$'\n'"$out"
}

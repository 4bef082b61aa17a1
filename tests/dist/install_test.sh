#!/usr/bin/env bash
# install_test.sh BUILD SOURCE: an install into a temporary prefix holds exactly the expected
# files, the validators accept them, the manual pages render and the installed tool runs;
# `make uninstall` then removes them and the folders the install made, and only those.
. "$(dirname "$0")/common.sh"
BUILD="$1" SOURCE="$2"
# Not /usr, and with a character that the desktop entry's Exec must quote.
PREFIX="$WORK/pre fix"

mkdir -p "$PREFIX/share/kept"
make -s -C "$SOURCE" BUILD="$BUILD" PREFIX="$PREFIX" install-built >/dev/null
diff -u "$SOURCE/tests/dist/installed-files.txt" <(cd "$PREFIX" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort) \
  || fail "installed files differ from tests/dist/installed-files.txt"

desktop-file-validate "$PREFIX"/share/applications/*.desktop || fail "desktop-file-validate"
# The menu starts the installed program, whose bin need not be on PATH.
entry="$(cat "$PREFIX"/share/applications/*.desktop)"
grep -qxF "Exec=\"$PREFIX/bin/kvor\"" <<<"$entry" || fail "Exec of $PREFIX: $(grep ^Exec= <<<"$entry")"
# The menu and the software centre file it alike (toolkit categories aside).
categories="$(sed -n 's/^Categories=//p' <<<"$entry" | tr ';' '\n' | grep -vxE 'Qt|KDE|GTK|GNOME|' | sort)"
[ "$categories" = "$(grep -o '<category>[^<]*' "$PREFIX"/share/metainfo/*.xml | sed 's/<category>//' | sort)" ] ||
  fail "categories of the desktop entry and the metainfo differ"
appstreamcli validate --no-net "$PREFIX"/share/metainfo/*.metainfo.xml >"$WORK/as.log" 2>&1 \
  || { cat "$WORK/as.log"; fail "appstreamcli validate"; }

for page in "$PREFIX"/share/man/man1/*.1.gz; do
  warnings="$(zcat "$page" | groff -ww -z -man 2>&1)"
  [ -z "$warnings" ] || fail "groff on $page: $warnings"
  MANWIDTH=80 man -l "$page" >/dev/null 2>"$WORK/man.err" && [ ! -s "$WORK/man.err" ] \
    || fail "man -l $page: $(cat "$WORK/man.err")"
done

for png in "$PREFIX"/share/icons/hicolor/*/apps/*.png; do
  side="${png#"$PREFIX"/share/icons/hicolor/}"; side="${side%%x*}"
  file -b "$png" | grep -q "PNG image data, $side x $side," || fail "$png: $(file -b "$png")"
done

scan_small_tree "$PREFIX/bin/kvor-scan"

# Every form of line kvor-scan writes on stderr is listed in the README and the manual page.
flat() { tr -s ' \n' '  '; }
readme="$(flat <"$SOURCE/README.md")"
manual="$(MANWIDTH=10000 man -l "$PREFIX/share/man/man1/kvor-scan.1.gz" 2>/dev/null | flat)"
forms="$(grep -ohE '"kvor-scan: [^"%\\]+|UsageError\(err, "[^"%'\'']+' "$SOURCE"/report/*.cpp |
  sed -E 's/^"kvor-scan: |^UsageError\(err, "//; s/[: ]+$//' | sort -u)"
[ "$(wc -l <<<"$forms")" -ge 10 ] || fail "too few stderr forms found in report/: $forms"
while IFS= read -r form; do
  grep -qF -- "$form" <<<"$readme" || fail "README.md does not list the stderr line '$form'"
  grep -qF -- "$form" <<<"$manual" || fail "kvor-scan.1 does not list the stderr line '$form'"
done <<<"$forms"
# What cannot be written is said, also for --help and --version.
for args in "--help >/dev/full" "--version >&-"; do
  err="$(eval "\"\$PREFIX/bin/kvor-scan\" $args" 2>&1)" && fail "kvor-scan $args: status 0"
  grep -qx "kvor-scan: cannot write the report: .*" <<<"$err" || fail "kvor-scan $args: $err"
done
make -s -C "$SOURCE" BUILD="$BUILD" uninstall
left="$(cd "$PREFIX" && find . | LC_ALL=C sort | tr '\n' ' ')"
[ "$left" = ". ./share ./share/kept " ] || fail "left after make uninstall: $left"
echo "install: $(wc -l <"$SOURCE/tests/dist/installed-files.txt") files, validators and manual pages clean"

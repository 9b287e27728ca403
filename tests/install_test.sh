#!/bin/sh
# The installed tree holds the program and its manual pages, English and
# French; each renders without a single warning, and the French one quotes
# exactly the messages the English one does.  Usage: install_test.sh BUILD_DIR
set -eu
command -v groff >/dev/null || { echo "skipped: groff is missing (Debian package groff-base)"; exit 77; }
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
for file in bin/vork share/man/man1/vork.1 share/man/fr/man1/vork.1 share/doc/vork/copyright \
            share/doc/vork/README.md share/doc/vork/LISEZMOI.md; do
  [ -f "$prefix/$file" ] || { echo "not installed: $file"; exit 1; }
done
"$prefix/bin/vork" -h </dev/null | grep -q 'Documentation du logiciel VORK'

for page in "$prefix/share/man/man1/vork.1" "$prefix/share/man/fr/man1/vork.1"; do
  warnings=$(groff -k -man -ww -z -Tutf8 "$page" 2>&1)
  [ -z "$warnings" ] || { echo "$page: $warnings"; exit 1; }
  if command -v man >/dev/null; then
    warnings=$(LC_ALL=C.UTF-8 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "$page: $warnings"; exit 1; }
  fi
done
quoted() { grep '^\.B """' "$1" | sort; }
english=$(quoted "$prefix/share/man/man1/vork.1")
[ "$(echo "$english" | wc -l)" -ge 9 ] || { echo "the English page quotes too few messages"; exit 1; }
[ "$english" = "$(quoted "$prefix/share/man/fr/man1/vork.1")" ] ||
  { echo "the French page does not quote the messages the English one does"; exit 1; }
echo "installed and rendered cleanly"

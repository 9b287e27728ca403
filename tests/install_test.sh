#!/bin/sh
# The installed tree holds the program and its manual page, and the page
# renders without a single warning.  Usage: install_test.sh BUILD_DIR
set -eu
command -v groff >/dev/null || { echo "skipped: groff is missing (Debian package groff-base)"; exit 77; }
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
for file in bin/vork share/man/man1/vork.1 share/doc/vork/copyright share/doc/vork/README.md; do
  [ -f "$prefix/$file" ] || { echo "not installed: $file"; exit 1; }
done
"$prefix/bin/vork" -h </dev/null | grep -q 'Documentation du logiciel VORK'

warnings=$(groff -man -ww -z -Tutf8 "$prefix/share/man/man1/vork.1" 2>&1)
[ -z "$warnings" ] || { echo "$warnings"; exit 1; }
if command -v man >/dev/null; then
  warnings=$(LC_ALL=C.UTF-8 man --warnings -l "$prefix/share/man/man1/vork.1" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "$warnings"; exit 1; }
fi
echo "installed and rendered cleanly"

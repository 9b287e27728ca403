#!/bin/sh
# The installed tree holds the program and its manual pages, English and
# French; each renders without a single warning, never splits a name across
# lines, hyphenates French by French rules, and the French one quotes exactly
# the messages the English one does; every message the read-mes quote is one
# the program prints; and the README's uninstall leaves the prefix as it was,
# then says in one line that there is nothing left to remove.
# Usage: install_test.sh BUILD_DIR
set -eu
skip() { echo "skipped: $1"; [ -z "${VORK_SKIP_LOG:-}" ] || echo "install_tree: $1" >>"$VORK_SKIP_LOG"; exit 77; }
command -v groff >/dev/null || skip "groff is missing (Debian package groff-base)"
build=$1
source=$(cd "$(dirname "$0")/.." && pwd)
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

# A folder of the user's own in the prefix, which the uninstall leaves.
mkdir "$prefix/share" && echo mine >"$prefix/share/mine"
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

# At the widths a terminal may have, no word is ever broken at a line's end
# (a quoted message must read as the program prints it, and French is not
# broken by English rules); and at 80 columns no line is stretched into
# wide gaps: beside a sentence's end and a tag's column, words are one
# blank apart.
if command -v man >/dev/null; then
  for page in "$prefix/share/man/man1/vork.1" "$prefix/share/man/fr/man1/vork.1"; do
    for width in 40 50 60 66 72 80 100; do
      broken=$(MANWIDTH=$width LC_ALL=C.UTF-8 man -l "$page" 2>/dev/null | grep -E '[[:alpha:]]‐$' || true)
      [ -z "$broken" ] || { echo "$page at $width columns breaks words: $broken"; exit 1; }
    done
    stretched=$(MANWIDTH=80 LC_ALL=C.UTF-8 man -l "$page" 2>/dev/null | grep -v 'VORK(1)' |
                sed 's/^ *//; s/\([.!?]\)  /\1 /g; s/  */ /' | grep '[^ ]  ' || true)
    [ -z "$stretched" ] || { echo "$page at 80 columns stretches: $stretched"; exit 1; }
  done
fi

quoted() { grep -E '^\.B "(\\%)?""' "$1" | sort; }
english=$(quoted "$prefix/share/man/man1/vork.1")
[ "$(echo "$english" | wc -l)" -ge 9 ] || { echo "the English page quotes too few messages"; exit 1; }
[ "$english" = "$(quoted "$prefix/share/man/fr/man1/vork.1")" ] ||
  { echo "the French page does not quote the messages the English one does"; exit 1; }

# Every message the read-mes quote, filled in or cut short, is one of the
# program's own texts, with anything where they have %s or %d.
formats=$(strings -n 8 "$prefix/bin/vork" | grep -E '^(Erreur|Attention|Cause)' || true)
[ -n "$formats" ] || { echo "no message texts found in the program (binutils' strings)"; exit 1; }
{ grep -ohE '`(Erreur|Attention|Cause)[^`]*`' "$source/README.md" "$source/LISEZMOI.md"
  grep -ohE '"(Erreur|Attention|Cause)[^"]*"' "$source/doc/windows/LISEZMOI.txt"; } |
  sed 's/^.//; s/.$//' | sort -u >"$prefix/quotes"
[ -s "$prefix/quotes" ] || { echo "the read-mes quote no message"; exit 1; }
while IFS= read -r quote; do
  found=no
  while IFS= read -r format; do
    pattern=$(printf '%s\n' "$format" |
              sed 's/ *$//; s/%[.0-9]*l*[sd]/@ANY@/g; s/[][\.*^$()+?{}|]/\\&/g; s/@ANY@/.*/g')
    case $format in "$quote"*) found=yes; break ;; esac
    if printf '%s\n' "$quote" | grep -Eq "^$pattern"; then found=yes; break; fi
  done <<EOF
$formats
EOF
  [ $found = yes ] || { echo "the read-mes quote a message the program does not print: $quote"; exit 1; }
done <"$prefix/quotes"
rm "$prefix/quotes"

# The README's uninstall leaves the prefix as it was, whatever the build
# folder installed meanwhile elsewhere (the tests, CPack's staging) and
# however often it installed there.
# A prefix the install made goes with the folder it made above it, and
# nothing that was there before.
other=$(mktemp -d)
cmake --install "$build" --prefix "$other/made/pfx" >/dev/null
cmake --install "$build" --prefix "$prefix" >/dev/null
cmake -D PREFIX="$prefix" -P "$build/uninstall.cmake" >/dev/null
cmake -D PREFIX="$other/made/pfx" -P "$build/uninstall.cmake" >/dev/null
rmdir "$other"
# Once more, with nothing left to remove: one plain line, and success.
said=$(cmake -D PREFIX="$prefix" -P "$build/uninstall.cmake" 2>&1) ||
  { echo "an uninstall with nothing installed fails: $said"; exit 1; }
[ "$said" = "vork: nothing to uninstall: this build folder installed nothing into $prefix" ] ||
  { echo "an uninstall with nothing installed says: $said"; exit 1; }
left=$(cd "$prefix" && find . -mindepth 1 | sort | tr '\n' ' ')
[ "$left" = "./share ./share/mine " ] || { echo "the uninstall leaves: $left"; exit 1; }
echo "installed, rendered cleanly, quoted rightly and uninstalled"

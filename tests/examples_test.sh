#!/bin/sh
# The example's road to a disk: `make -C examples` builds HELLO.BIN, hello.fd,
# hello.sap and hello.k7, and a real disk tool finds HELLO.BIN on each disk as
# a machine-code file holding exactly the bytes of the listing, framed, and
# castool finds it on the tape; made again, the disks still hold it once.
# First, every command of the read-mes and guides that runs the clone's vork
# runs as pasted, in order, in a copy of the tree after the quick start.
# Usage: examples_test.sh VORK
set -eu
skip() { echo "skipped: $1"; [ -z "${VORK_SKIP_LOG:-}" ] || echo "example_disk: $1" >>"$VORK_SKIP_LOG"; exit 77; }
source=$(cd "$(dirname "$0")/.." && pwd)
examples=$source/examples
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# Each document's commands, in order: its code lines and inline code, wrapped or not, without a
# prompt; a bare `vork` naming the example would not run as pasted.
for doc in README.md LISEZMOI.md doc/guide.md doc/fr/guide.md; do
  rm -rf "$out/tree" && mkdir -p "$out/tree/build/default" && cp "$1" "$out/tree/build/default/vork"
  tar -C "$source" --exclude=./build --exclude=./.git -cf - . | tar -C "$out/tree" -xf -
  (cd "$out/tree" && ./build/default/vork examples/hello.raw 9000 9000 build/HELLO.BIN </dev/null >/dev/null)
  awk 'BEGIN { RS = "" } { n = split($0, lines, "\n")
    for (i = 1; i <= n; i++) if (lines[i] ~ /^    / || $0 ~ /^```/) { sub(/^ *(\$ )?/, "", lines[i]); print lines[i] }
    for (gsub(/\n */, " "); match($0, /`[^`]*`/); $0 = substr($0, RSTART + RLENGTH)) print substr($0, RSTART + 1, RLENGTH - 2)
  }' "$source/$doc" | grep -E '^(\./build/default/)?vork ' | while IFS= read -r command; do
    case $command in vork*[Hh][Ee][Ll][Ll][Oo]*) echo "$doc: not runnable from the clone: $command"; exit 1 ;; vork*) continue ;; esac
    (cd "$out/tree" && sh -c "$command" </dev/null >"$out/said" 2>&1) || { echo "$doc: fails: $command"; cat "$out/said"; exit 1; }
  done
done
command -v imgtool >/dev/null || skip "imgtool is missing (Debian package mame-tools)"

make -s -C "$examples" VORK="$1" OUT="$out" >"$out/make.log" 2>&1 || { cat "$out/make.log"; exit 1; }
[ "$(wc -c <"$out/hello.fd")" -eq 327680 ] || { echo "hello.fd is not a 3.5-inch DD disk"; exit 1; }
# The SAP header, then 80 tracks of 16 sectors of 256 bytes, each with 6 of its own.
[ "$(wc -c <"$out/hello.sap")" -eq 335426 ] || { echo "hello.sap is not a 3.5-inch DD disk"; exit 1; }

# Header (length 0013, load 9000), the code, footer (start 9000).
{ printf '\000\000\023\220\000'; cat "$examples/hello.raw"; printf '\377\000\000\220\000'; } >"$out/expected"
cmp "$out/HELLO.BIN" "$out/expected"

for disk in fd sap; do
  listing=$(imgtool dir "thom_$disk" "$out/hello.$disk")
  echo "$listing" | grep -Eq "^HELLO\.BIN +$(wc -c <"$out/expected") +M " ||
    { echo "HELLO.BIN is not listed on hello.$disk as machine code of its size:"; echo "$listing"; exit 1; }
  rm -f "$out/back.bin"
  imgtool get "thom_$disk" "$out/hello.$disk" HELLO.BIN "$out/back.bin" >/dev/null
  cmp "$out/back.bin" "$out/expected"
done
if command -v castool >/dev/null; then
  castool convert mo5 "$out/hello.k7" "$out/hello.wav" | grep -q 'file "HELLO   .BIN" type=bin' ||
    { echo "castool finds no HELLO.BIN on hello.k7"; exit 1; }
fi

# Made again, as after an edit of the listing: HELLO.BIN replaced on both disks, not added twice.
make -s -C "$examples" VORK="$1" OUT="$out" -W hello.raw >"$out/make.log" 2>&1 || { cat "$out/make.log"; exit 1; }
for disk in fd sap; do
  [ "$(imgtool dir "thom_$disk" "$out/hello.$disk" | grep -c ' M B')" -eq 1 ] ||
    { echo "hello.$disk holds more than HELLO.BIN"; exit 1; }
done
echo "HELLO.BIN is on both disks, machine code, byte for byte"

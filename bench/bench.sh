#!/usr/bin/env bash
# Times the conversion of a 65,535-byte source beside the floor (bench/floor.c:
# only the system calls a safe conversion needs), `cp` of the same file and the
# shell idiom a user would write instead; each started directly and in its own
# `sh -c`, as a Makefile recipe does. Reports each median, the ratios to the
# floor and to cp, and each peak memory.
# Needs hyperfine, python3, cc and /usr/bin/time; builds the program with
# the configure preset given (default: the fully static one; deb: the
# Debian package's, with the C library shared).
# Usage: bench/bench.sh [RUNS [PRESET]]   (default 300 default)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-300}
preset=${2:-default}

missing=()
for tool in hyperfine python3 cc cmp /usr/bin/time; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
if ((${#missing[@]})); then
  echo "bench: missing ${missing[*]} (Debian packages: hyperfine python3 gcc time)" >&2
  exit 1
fi

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target vork >/dev/null
vork=$PWD/build/$preset/vork

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cc -O2 -static -o "$work/floor" bench/floor.c
cd "$work"
head -c 65535 /dev/urandom >src.bin

# The floor prints a report as long as vork's.
# Loaded at 0000, so that the largest code fits below $FFFF without a warning.
report=$("$vork" src.bin 0000 2C00 out.bin </dev/null | wc -c)
# Header: 00, length FFFF, load 0000. Footer: FF 00 00, exec 2C00.
idiom="{ printf '\\000\\377\\377\\000\\000'; cat src.bin; printf '\\377\\000\\000\\054\\000'; } >idiom.bin"
./floor src.bin floor.bin "$report" </dev/null >/dev/null
eval "$idiom"
cmp out.bin idiom.bin && cmp out.bin floor.bin || { echo "bench: the outputs disagree" >&2; exit 1; }

declare -A commands=(
  [vork]="$vork src.bin 0000 2C00 out.bin"
  [floor]="./floor src.bin floor.bin $report"
  [cp]="cp src.bin copy.bin"
)
# hyperfine gives each command /dev/null as standard input, which answers the pause.
direct=() shelled=()
for name in vork floor cp; do
  direct+=(-n "$name" "${commands[$name]}")
  shelled+=(-n "$name" "sh -c '${commands[$name]} </dev/null'")
done
shelled+=(-n idiom "sh -c \"$idiom\"")
hyperfine --style none -N --warmup 30 --runs "$runs" --export-json direct.json "${direct[@]}" >/dev/null
hyperfine --style none -N --warmup 30 --runs "$runs" --export-json shelled.json "${shelled[@]}" >/dev/null

peak() {
  local kib
  kib=$(/usr/bin/time -f %M sh -c "$1 </dev/null >/dev/null" 2>&1 | tail -n 1)
  [[ $kib =~ ^[0-9]+$ ]] || { echo "bench: /usr/bin/time gave no peak memory for: $1" >&2; exit 1; }
  echo "$kib"
}
for name in vork floor cp; do echo "$name $(peak "${commands[$name]}")"; done >peaks.txt
echo "idiom $(peak "$idiom")" >>peaks.txt

python3 - "$runs" <<'PY'
import json, sys
peaks = dict(line.split() for line in open("peaks.txt"))
print(f"{sys.argv[1]} runs each, medians in ms; peak memory in KiB (one run, started through sh)")
for way in ["direct", "shelled"]:
    median = {r["command"]: r["median"] * 1000 for r in json.load(open(f"{way}.json"))["results"]}
    print(f"\n{'started directly' if way == 'direct' else 'each in its own sh -c'}:")
    for name, ms in median.items():
        print(f"  {name:6} {ms:7.3f} ms   peak {peaks[name]:>6} KiB")
    print(f"  vork / floor = {median['vork'] / median['floor']:.2f}  (goal: at most 1.05)")
    print(f"  vork / cp    = {median['vork'] / median['cp']:.2f}  (goal: at most 1.00)")
PY

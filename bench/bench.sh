#!/usr/bin/env bash
# Times the conversion of a 65,535-byte source beside `cp` of the same file
# (the floor for moving the bytes) and the shell idiom a user would write
# instead, and reports each median, the ratios and each peak memory.
# Needs hyperfine and python3; builds the release program first.
# Usage: bench/bench.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-300}
command -v hyperfine >/dev/null || { echo "bench: needs hyperfine (apt-get install hyperfine)"; exit 1; }

cmake --preset default >/dev/null
cmake --build --preset default --target vork >/dev/null
vork=$PWD/build/default/vork

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
head -c 65535 /dev/urandom >src.bin

# Header: 00, length FFFF, load 2600. Footer: FF 00 00, exec 2C00.
conversion="$vork src.bin 2600 2C00 out.bin </dev/null >/dev/null"
copy="cp src.bin copy.bin"
idiom="{ printf '\\000\\377\\377\\046\\000'; cat src.bin; printf '\\377\\000\\000\\054\\000'; } >idiom.bin"

eval "$conversion" && eval "$idiom"
cmp out.bin idiom.bin || { echo "bench: the idiom and vork disagree"; exit 1; }

# Each command runs in its own sh, as a Makefile recipe or a script line
# would: the idiom needs one, and so does the redirection that answers the pause.
hyperfine --style basic --shell=none --warmup 30 --runs "$runs" --export-json times.json \
  -n vork "sh -c '$conversion'" -n cp "sh -c '$copy'" -n idiom "sh -c \"$idiom\"" >/dev/null

peak() { /usr/bin/time -f %M sh -c "$1" 2>&1 >/dev/null | tail -n 1; }
printf '%s %s %s\n' "$(peak "$conversion")" "$(peak "$copy")" "$(peak "$idiom")" >peaks.txt

python3 - <<'PY'
import json
results = {r["command"]: r for r in json.load(open("times.json"))["results"]}
median = {name: r["median"] * 1000 for name, r in results.items()}
peaks = dict(zip(["vork", "cp", "idiom"], open("peaks.txt").read().split()))
for name in ["vork", "cp", "idiom"]:
    print(f"{name:6} median {median[name]:6.3f} ms   peak memory {peaks[name]:>6} KiB")
print(f"vork / cp    = {median['vork'] / median['cp']:.2f}  (goal: at most 1.00)")
print(f"vork / idiom = {median['vork'] / median['idiom']:.2f}  (goal: at most 0.80)")
PY

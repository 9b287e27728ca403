#!/usr/bin/env bash
# Times the conversion of a 65,535-byte source beside the floor (bench/floor.c:
# only the system calls a safe conversion needs; `synced`, the same with the
# file synced again and the folder synced after the rename, as vork does),
# `cp` of the same file and the shell idiom a user would write instead; each
# started directly and in its own `sh -c`, as a Makefile recipe does.
# Reports each median, the ratios to the floor and to cp, and each peak memory.
# Needs hyperfine, python3, cc and /usr/bin/time; builds the program with
# the configure preset given (default: the fully static one; deb: the
# Debian package's, with the C library shared).
# The machine's load drifts over a benchmark, so the runs are split into
# rounds, the order of the commands turned round each time, and each ratio
# is the median of the rounds' ratios.
# Usage: bench/bench.sh [RUNS [PRESET [ROUNDS]]]   (default 300 default 5)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-300}
preset=${2:-default}
rounds=${3:-5}
per_round=$(( (runs + rounds - 1) / rounds ))

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
  [synced]="./floor src.bin synced.bin $report sync"
  [cp]="cp src.bin copy.bin"
)
# hyperfine gives each command /dev/null as standard input, which answers the pause.
for ((round = 0; round < rounds; round++)); do
  order=(vork floor synced cp)
  ((round % 2)) && order=(cp synced floor vork)
  direct=() shelled=()
  for name in "${order[@]}"; do
    direct+=(-n "$name" "${commands[$name]}")
    shelled+=(-n "$name" "sh -c '${commands[$name]} </dev/null'")
  done
  shelled+=(-n idiom "sh -c \"$idiom\"")
  hyperfine --style none -N --warmup 30 --runs "$per_round" --export-json "direct-$round.json" \
    "${direct[@]}" >/dev/null 2>&1
  hyperfine --style none -N --warmup 30 --runs "$per_round" --export-json "shelled-$round.json" \
    "${shelled[@]}" >/dev/null 2>&1
done

peak() {
  local kib
  kib=$(/usr/bin/time -f %M sh -c "$1 </dev/null >/dev/null" 2>&1 | tail -n 1)
  [[ $kib =~ ^[0-9]+$ ]] || { echo "bench: /usr/bin/time gave no peak memory for: $1" >&2; exit 1; }
  echo "$kib"
}
for name in vork floor synced cp; do echo "$name $(peak "${commands[$name]}")"; done >peaks.txt
echo "idiom $(peak "$idiom")" >>peaks.txt

python3 - "$per_round" "$rounds" <<'PY'
import json, statistics, sys
per_round, rounds = int(sys.argv[1]), int(sys.argv[2])
peaks = dict(line.split() for line in open("peaks.txt"))
print(f"{rounds} rounds of {per_round} runs each, medians in ms; peak memory in KiB (one run, started through sh)")
for way in ["direct", "shelled"]:
    medians = [{r["command"]: r["median"] * 1000 for r in json.load(open(f"{way}-{k}.json"))["results"]}
               for k in range(rounds)]
    print(f"\n{'started directly' if way == 'direct' else 'each in its own sh -c'}:")
    for name in medians[0]:
        ms = statistics.median(m[name] for m in medians)
        print(f"  {name:6} {ms:7.3f} ms   peak {peaks[name]:>6} KiB")
    for other, goal in [("floor", 1.05), ("synced", 1.05), ("cp", 1.00)]:
        ratios = [m["vork"] / m[other] for m in medians]
        listed = " ".join(f"{r:.2f}" for r in ratios)
        print(f"  vork / {other:5} = {statistics.median(ratios):.2f}  (rounds: {listed}; goal: at most {goal:.2f})")
PY

#!/usr/bin/env bash
# Times --onto of a 65,535-byte program onto a .fd, a .sap and an .hfe that
# already hold it (the file replaced, as a Makefile rebuild does), beside
# the floor (bench/floor.c with `sync IMAGE`: TARGET and an image of the
# same size written with the same syncs, nothing else) and `imgtool put` of
# the same file onto a copy of the disk without it (imgtool has no .hfe).
# Reports each median and the ratios. Needs what bench.sh needs, and imgtool
# (mame-tools). Usage: bench/onto.sh [RUNS [ROUNDS]]   (default 100 and 5)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-100}
rounds=${2:-5}
per_round=$(( (runs + rounds - 1) / rounds ))
for tool in hyperfine python3 cc imgtool; do
  command -v "$tool" >/dev/null || { echo "bench: missing $tool (Debian packages: hyperfine python3 gcc mame-tools)" >&2; exit 1; }
done

cmake --preset default >/dev/null
cmake --build --preset default --target vork >/dev/null
vork=$PWD/build/default/vork

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cc -O2 -static -o "$work/floor" bench/floor.c
cd "$work"
head -c 65535 /dev/urandom >src.bin
report=$("$vork" --onto r.fd src.bin 0000 2C00 OUT.BIN </dev/null | wc -c)
for ext in fd sap hfe; do
  "$vork" --onto "d.$ext" src.bin 0000 2C00 OUT.BIN </dev/null >/dev/null
  cp "d.$ext" "f.$ext"
done
"$vork" --onto empty.fd src.bin 0000 2C00 OTHER.BIN </dev/null >/dev/null
"$vork" --onto empty.sap src.bin 0000 2C00 OTHER.BIN </dev/null >/dev/null

for ((round = 0; round < rounds; round++)); do
  for ext in fd sap hfe; do
    args=(-n vork "$vork --onto d.$ext src.bin 0000 2C00 OUT.BIN"
          -n floor "./floor src.bin floor.bin $report sync f.$ext")
    [[ $ext == hfe ]] || args+=(-n imgtool --prepare "cp empty.$ext i.$ext"
                                "imgtool put thom_$ext i.$ext OUT.BIN OUT.BIN")
    hyperfine --style none -N --warmup 10 --runs "$per_round" --export-json "$ext-$round.json" \
      "${args[@]}" >/dev/null 2>&1
  done
done

python3 - "$per_round" "$rounds" <<'PY'
import json, statistics, sys
per_round, rounds = int(sys.argv[1]), int(sys.argv[2])
print(f"{rounds} rounds of {per_round} runs each, medians in ms")
for ext in ["fd", "sap", "hfe"]:
    medians = [{r["command"]: r["median"] * 1000 for r in json.load(open(f"{ext}-{k}.json"))["results"]}
               for k in range(rounds)]
    print(f"\n--onto .{ext}:")
    for name in medians[0]:
        print(f"  {name:8} {statistics.median(m[name] for m in medians):7.3f} ms")
    for other, goal in [("floor", 1.10), ("imgtool", 1.00)]:
        if other in medians[0]:
            ratios = [m["vork"] / m[other] for m in medians]
            listed = " ".join(f"{r:.2f}" for r in ratios)
            print(f"  vork / {other:7} = {statistics.median(ratios):.2f}  (rounds: {listed}; goal: at most {goal:.2f})")
PY

#!/usr/bin/env bash
# Builds the fuzz targets and fuzzes each for a bounded time (seconds in all,
# default 60, shared between them). The seed corpora are copied, so the
# repository's stay as committed; a finding fails the run and its input is
# printed in hexadecimal.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-60}

cmake --workflow --preset fuzz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Each target with its corpus: vork_fuzz, runs on code and addresses;
# vork_fuzz_disk, --list and --onto on disk images; vork_fuzz_hfe, on .hfe
# (judged by floptool, from mame-tools).
pairs=(vork_fuzz:corpus vork_fuzz_disk:disk-corpus vork_fuzz_hfe:hfe-corpus)
for pair in "${pairs[@]}"; do
  target=${pair%%:*}
  corpus=${pair#*:}
  mkdir "$work/$target" "$work/$target/corpus" "$work/$target/findings"
  cp "tests/fuzz/$corpus"/* "$work/$target/corpus/"
  if ! "./build/fuzz/$target" -max_total_time=$((seconds / ${#pairs[@]})) -max_len=66000 -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/$target/findings/" \
      "$work/$target/corpus" 2>"$work/$target/log"; then
    tail -n 40 "$work/$target/log"
    for finding in "$work/$target"/findings/*; do
      echo "finding: $(basename "$finding")"
      od -An -tx1 "$finding" | head -n 20
    done
    exit 1
  fi
  echo "$target:"
  grep -E '^(Done|stat::number_of_executed_units)' "$work/$target/log" || true
done

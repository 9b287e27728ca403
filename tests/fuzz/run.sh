#!/usr/bin/env bash
# Builds the fuzz target and fuzzes for a bounded time (seconds, default 60).
# The seed corpus is copied, so the repository's stays as committed; a finding
# fails the run and its input is printed in hexadecimal.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-60}

cmake --workflow --preset fuzz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus" "$work/findings"
cp tests/fuzz/corpus/* "$work/corpus/"

if ! ./build/fuzz/vork_fuzz -max_total_time="$seconds" -max_len=66000 -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/findings/" \
    "$work/corpus" 2>"$work/log"; then
  tail -n 40 "$work/log"
  for finding in "$work"/findings/*; do
    echo "finding: $(basename "$finding")"
    od -An -tx1 "$finding" | head -n 20
  done
  exit 1
fi
grep -E '^(Done|stat::number_of_executed_units)' "$work/log" || true

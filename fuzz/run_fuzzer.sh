#!/usr/bin/env bash
# Runs a libFuzzer target for a bounded time from the seed folders given,
# with a scratch corpus; fails on any finding (crash, sanitizer report, leak,
# timeout or abort). Usage: run_fuzzer.sh BINARY SECONDS SEED_DIR...
set -euo pipefail
binary=$1 seconds=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
seeds=()
for dir in "$@"; do [[ -d $dir ]] && seeds+=("$dir"); done
cd "$work"
export TMPDIR="$work"
"$binary" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -max_len=65536 \
  -print_final_stats=1 "$work" "${seeds[@]+"${seeds[@]}"}" 2>fuzz.log || { tail -60 fuzz.log; exit 1; }
grep -E "^(stat::number_of_executed_units|Done)" fuzz.log || tail -3 fuzz.log

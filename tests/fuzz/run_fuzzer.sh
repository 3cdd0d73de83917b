#!/usr/bin/env bash
# Runs one libFuzzer target for a bounded time from its seed corpus (the
# seeds are copied, so the repository's stay as they are) and fails unless
# the run found coverage beyond what the seeds reach.
# Usage: run_fuzzer.sh FUZZER SEED_DIR SECONDS
set -euo pipefail
fuzzer=$1 seeds=$2 seconds=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
cp "$seeds"/* "$work/corpus/"
"$fuzzer" "$work/corpus" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work/" > "$work/log" 2>&1 || { tail -n 40 "$work/log"; exit 1; }
seeded=$(sed -n 's/.*INITED cov: \([0-9]*\).*/\1/p' "$work/log" | head -n 1)
reached=$(sed -n 's/.*DONE *cov: \([0-9]*\).*/\1/p' "$work/log" | tail -n 1)
echo "$(basename "$fuzzer"): coverage ${seeded:-?} from the seeds, ${reached:-?} after ${seconds} s"
[ -n "$seeded" ] && [ -n "$reached" ] && [ "$reached" -gt "$seeded" ]

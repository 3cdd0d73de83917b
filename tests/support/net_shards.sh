#!/usr/bin/env bash
# Runs a binary of net tests as SHARDS processes side by side: the tests
# mostly wait on time-outs and pauses, not on the processor, so the whole
# takes as long as its slowest share. Each process enters a network
# namespace of its own at start (the ports are its own), and has its own
# simulated clock and runtime folder (its own single-instance locks).
# Prints the output of every share that failed, and a summary.
# Usage: net_shards.sh BINARY PROGRAM SHARDS
set -uo pipefail
binary=$1
program=$2
shards=$3
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
for ((i = 0; i < shards; i++)); do
    mkdir -m 0700 "$work/run$i"
    GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$i TAVREL_CLOCK_FILE="$work/clock$i" TAVREL_PROGRAM="$program" \
        XDG_RUNTIME_DIR="$work/run$i" "$binary" >"$work/out$i" 2>&1 &
    pids+=($!)
done
failed=0
tests=0
for ((i = 0; i < shards; i++)); do
    if ! wait "${pids[$i]}"; then
        failed=$((failed + 1))
        echo "=== share $((i + 1)) of $shards failed:"
        cat "$work/out$i"
    fi
    ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran\..*/\1/p' "$work/out$i")
    tests=$((tests + ${ran:-0}))
done
pids=()
grep -h '^\[  FAILED  \] [A-Za-z]' "$work"/out* | sort -u
echo "net tests: $tests run in $shards shares, $failed shares failed"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: a plain build, then
# an AddressSanitizer/UBSan build and a ThreadSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh

jobs=$(nproc)
run_suite() {
    local dir=$1; shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 600
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1}
run_suite build-asan -DTAVREL_SANITIZE=address,undefined
run_suite build-tsan -DTAVREL_SANITIZE=thread
run_suite build

#!/usr/bin/env bash
# Installs what is missing, builds, and runs the program with the given
# arguments (for example /q: sync the clock once and exit).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/tools/install-deps.sh" --build-only
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target tavrel >/dev/null
exec "$root/build/tavrel" "$@"

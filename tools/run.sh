#!/usr/bin/env bash
# Installs what building needs when it is missing (nothing the tests need),
# builds the program with the build's progress shown, and runs it with the
# given arguments (for example /q: sync the clock once and exit).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/tools/install-deps.sh" --build-only
# A first configure leaves the tests out; a build folder the tests made
# keeps them.
testing=()
[ -f "$root/build/CMakeCache.txt" ] || testing=(-DBUILD_TESTING=OFF)
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${testing[@]}" >/dev/null
# The read-me as text too: Help pages it in the terminal.
cmake --build "$root/build" -j"$(nproc)" --target tavrel tavrel_readme
exec "$root/build/tavrel" "$@"

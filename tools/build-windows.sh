#!/usr/bin/env bash
# Cross-builds Tavrel.exe (and its tests) with MinGW-w64 into build-windows/.
# Installs the cross compiler first when it is missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash tools/install-deps.sh --windows-build
cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-windows -j2 "$@"
echo "Built $root/build-windows/Tavrel.exe"

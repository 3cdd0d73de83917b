#!/usr/bin/env bash
# Cross-builds Tavrel.exe (and its tests) with MinGW-w64 into build-windows/.
# Installs the cross compiler first when it is missing, and builds wolfSSL
# (with which Tavrel.exe is linked) the first time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash tools/install-deps.sh --windows-build
# wolfSSL for NTS, built once into build-windows/ from Debian's sources.
wolfssl=$(bash tools/build-wolfssl-windows.sh build-windows)
cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DTAVREL_WOLFSSL_ROOT="$wolfssl" >/dev/null
cmake --build build-windows -j2 "$@"
echo "Built $root/build-windows/Tavrel.exe"

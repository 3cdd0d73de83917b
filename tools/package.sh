#!/usr/bin/env bash
# Builds the Debian package build-package/tavrel_VERSION_ARCH.deb: installs
# what the build needs when missing (root or sudo), builds the program
# without its tests, and packs it with CPack. Install it with
#   sudo dpkg -i build-package/tavrel_*.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash tools/install-deps.sh --package
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF
cmake --build build-package -j"$(nproc)"
(cd build-package && cpack -G DEB)
echo "Built: $(ls "$root"/build-package/tavrel_*.deb)"

#!/usr/bin/env bash
# Builds the Debian package build-package/tavrel_VERSION_ARCH.deb: installs
# what the build needs when missing (root or sudo), builds the program
# without its tests, with the hardening flags Debian builds its packages
# with, and packs it with CPack. Install it with
#   sudo apt install ./build-package/tavrel_*.deb
# (apt offers to remove the time daemon it replaces; dpkg -i refuses).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash tools/install-deps.sh --package
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
      -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)"
cmake --build build-package -j"$(nproc)"
(cd build-package && cpack -G DEB)
echo "Built: $(ls "$root"/build-package/tavrel_*.deb)"

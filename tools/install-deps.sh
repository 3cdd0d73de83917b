#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when some
# are missing. Needs root or sudo. --build-only: just what the build needs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

# Build: compiler, CMake, GoogleTest; clang and its runtime for the fuzzers.
# libsystemd for the service's notifications; systemd for checking its unit;
# tzdata for the time-zone tests; ncurses for the terminal window; tmux to
# test it as a user would.
packages=(cmake make g++ pkg-config libgtest-dev libgmock-dev clang libclang-rt-14-dev libsystemd-dev systemd tzdata
          libncurses-dev tmux procps hostname)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    "${as_root[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The real time servers and clients the tests run against, installed with
# their services kept from starting. Not needed just to build and run.
[ "${1:-}" = --build-only ] && exit 0
"${as_root[@]}" bash -c "source '$root/tests/support/peers.sh' && peers_install"

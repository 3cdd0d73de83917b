#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when some
# are missing. Needs root or sudo. --build-only: just what the build needs;
# --windows-build: just what the cross-build of Tavrel.exe needs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

# Build: compiler, CMake, GoogleTest; clang and its runtime for the fuzzers.
# libsystemd for the service's notifications; systemd for checking its unit;
# tzdata for the time-zone tests; ncurses for the terminal window; tmux to
# test it as a user would.
packages=(cmake make g++ pkg-config libgtest-dev libgmock-dev clang libclang-rt-14-dev libsystemd-dev systemd tzdata
          libncurses-dev tmux procps hostname)
# Tavrel.exe: MinGW-w64 with the posix thread model, GoogleTest's sources
# to build its tests with it.
windows_build=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest)
# Its tests: Wine with its fonts, a virtual X display driven by xdotool, and
# xwd with ImageMagick for screenshots.
windows_test=(wine wine64 fonts-wine xvfb xauth xdotool x11-apps imagemagick)
case "${1:-}" in
    --windows-build) packages=("${windows_build[@]}" cmake make) ;;
    --build-only) ;;
    *) packages+=("${windows_build[@]}" "${windows_test[@]}") ;;
esac

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
[ -n "${1:-}" ] && exit 0
"${as_root[@]}" bash -c "source '$root/tests/support/peers.sh' && peers_install"

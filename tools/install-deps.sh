#!/usr/bin/env bash
# Installs the Debian packages that are missing, and nothing else: no package
# is removed or replaced and no service is started or stopped. Needs root or
# sudo only when something is missing.
#   --build-only     what building the program needs (tools/run.sh)
#   --package        that, and what packing it as a .deb needs
#   --windows-build  what cross-building Tavrel.exe needs
#   (no option)      everything the tests need, then the real time servers
#                    and clients they run against, unpacked into build-peers/
#                    rather than installed
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

# Build: compiler, CMake, libsystemd for the service's notifications,
# ncurses for the terminal window, GnuTLS (TLS 1.3 for NTS-KE) and Nettle
# (AES-SIV-CMAC for NTS) for authenticated time, GTK 3 for the desktop
# window and libdbusmenu-glib for its tray entry's menu.
build=(cmake make g++ pkg-config libsystemd-dev libncurses-dev libgnutls28-dev nettle-dev libgtk-3-dev
       libdbusmenu-glib-dev)
# Packing: dpkg-shlibdeps for the package's dependencies, and file, which
# CPack runs to find the binaries to hand it.
package=(dpkg-dev file)
# Tests: GoogleTest; clang and its runtime for the fuzzers; systemd for
# systemd-analyze; tzdata for the time-zone tests; tmux to drive the terminal
# window as a user would; man to read the man page; ip, unshare and setpriv
# for private network namespaces and capability-less peers; lintian to judge
# the package as Debian would; openssl to make the NTS tests' authority and
# certificates; polkitd and D-Bus, which the installed service asks to stop
# a daemon holding port 123 and to lock the zone through timedated (the
# package recommends polkitd; a minimal root has neither).
# The desktop window's tests: a virtual X display, a session bus of their
# own, the accessibility bus and Python's bindings to drive the window as
# a user would and to stand in for the desktop's tray host.
tests=(libgtest-dev libgmock-dev clang libclang-rt-14-dev systemd tzdata tmux procps hostname man-db
       iproute2 util-linux lintian openssl polkitd dbus xvfb xauth xdotool at-spi2-core python3-pyatspi python3-gi
       python3-dbus gir1.2-gtk-3.0 imagemagick)
# What the unpacked peers load from the system: chronyd's, xinetd's and
# rdate's libraries, and Python for ntpdig (sntp, ntpdate).
peer_libraries=(libcap2 libedit2 libgnutls30 libnettle8 libseccomp2 libselinux1 libtirpc3 libwrap0 libbsd0 libssl3
                netbase python3)
# Tavrel.exe: MinGW-w64 with the posix thread model, GoogleTest's sources
# to build its tests with it; dpkg-source to unpack wolfSSL's Debian source
# package and the autotools to configure it.
windows_build=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest dpkg-dev autoconf automake libtool)
# Its tests: Wine with its fonts, a virtual X display driven by xdotool, and
# ImageMagick's import for screenshots.
windows_test=(wine wine64 fonts-wine xvfb xauth xdotool imagemagick)
case "${1:-}" in
    --build-only) packages=("${build[@]}") ;;
    --package) packages=("${build[@]}" "${package[@]}") ;;
    --windows-build) packages=(cmake make "${windows_build[@]}") ;;
    "") packages=("${build[@]}" "${package[@]}" "${tests[@]}" "${peer_libraries[@]}" "${windows_build[@]}"
                  "${windows_test[@]}") ;;
    *) echo "usage: $0 [--build-only | --package | --windows-build]" >&2; exit 2 ;;
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
    # Refuses rather than removes: a package that would take another away
    # (as chrony takes systemd-timesyncd) stops the install instead.
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends \
        --no-remove "${missing[@]}"
fi

[ -n "${1:-}" ] && exit 0
bash "$root/tests/support/peers.sh" peers_install

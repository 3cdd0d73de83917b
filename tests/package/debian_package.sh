#!/usr/bin/env bash
# Builds the Debian package from a build folder and checks it as Debian and
# a user of it would meet it, without installing it on this machine: lintian
# finds no error or warning in it; what it holds and needs; its install,
# upgrade, removal and purge in a throwaway copy of this machine
# (install_cycle.sh, as root), and its service run by systemd in such a copy
# (installed_service.sh, as root); its unit under systemd's own checks, its man
# page and completion, and the program run from the unpacked tree (which is
# laid out as under /) keeping a user's data in ~/.config/Brennow/Tavrel with
# the shipped defaults.
# Usage: debian_package.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
# shellcheck source=../support/checks.sh
source "$(cd "$(dirname "$0")" && pwd)/../support/checks.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work/out") >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
deb=$(echo "$work"/out/tavrel_*_*.deb)
root="$work/root"
dpkg-deb -x "$deb" "$root"
has() { dpkg-deb -c "$deb" | awk '{print $6}' | grep -qx "./$1"; }
for f in usr/bin/tavrel lib/systemd/system/tavrel.service usr/share/man/man1/tavrel.1.gz \
         usr/share/tavrel/Strings.txt usr/share/tavrel/ServFile.txt usr/share/tavrel/ReadMe.htm \
         usr/share/tavrel/ReadMe.txt usr/share/tavrel/DefSet.txt usr/share/bash-completion/completions/tavrel \
         usr/share/applications/tavrel.desktop usr/share/icons/hicolor/scalable/apps/tavrel.svg \
         usr/share/doc/tavrel/copyright usr/share/doc/tavrel/changelog.gz \
         usr/share/polkit-1/rules.d/tavrel.rules usr/lib/tmpfiles.d/tavrel.conf \
         usr/share/polkit-1/actions/org.brennow.tavrel.apply-clock-change.policy \
         usr/lib/systemd/ntp-units.d/80-tavrel.list; do
    check "the package holds /$f" "has '$f'"
done
check "it depends on the libraries the program links" \
      "dpkg-deb -f '$deb' Depends | grep -q libsystemd0 && dpkg-deb -f '$deb' Depends | grep -q libncursesw6"
check "it takes the place of other time daemons" \
      "(for f in Conflicts Provides Replaces; do dpkg-deb -f '$deb' \$f | grep -qx time-daemon || exit 1; done)"
# lintian as Debian runs it: any error or warning fails.
check "lintian finds no error or warning" \
      "lintian --fail-on error,warning '$deb' >'$work/lintian.log' 2>&1 || { cat '$work/lintian.log'; false; }"
here=$(cd "$(dirname "$0")" && pwd)
if [ "$(id -u)" -eq 0 ]; then
    check "it installs, upgrades, removes and purges as it should" "bash '$here/install_cycle.sh' '$deb'"
    check "systemd runs its service as the service's own user" "bash '$here/installed_service.sh' '$deb'"
else
    echo "SKIP: installing it in a copy of this machine needs root"
fi

# The unit as shipped, with its program pointed at the unpacked one, passes
# systemd's checks and rates at most 2.0 (Debian's chrony.service 3.7).
unit="$work/tavrel.service"
sed "s|^ExecStart=\"/usr/bin/tavrel\"|ExecStart=\"$root/usr/bin/tavrel\"|" "$root/lib/systemd/system/tavrel.service" > "$unit"
check "the unit runs /usr/bin/tavrel /x" "grep -qx 'ExecStart=\"/usr/bin/tavrel\" /x' '$root/lib/systemd/system/tavrel.service'"
policy="$root/usr/share/polkit-1/actions/org.brennow.tavrel.apply-clock-change.policy"
check "the clock helper's action names the installed program" \
      "grep -qx '    <annotate key=\"org.freedesktop.policykit.exec.path\">/usr/bin/tavrel</annotate>' '$policy'"
check "the clock helper's action is for its helper mode alone" \
      "grep -qx '    <annotate key=\"org.freedesktop.policykit.exec.argv1\">--apply-clock-change</annotate>' '$policy'"
check "an active session's administrator is asked once in a while, others each time" \
      "grep -q '<allow_active>auth_admin_keep</allow_active>' '$policy' && grep -q '<allow_any>auth_admin</allow_any>' '$policy' && grep -q '<allow_inactive>auth_admin</allow_inactive>' '$policy'"
check "the action is well-formed XML" "python3 -c 'import sys, xml.dom.minidom; xml.dom.minidom.parse(sys.argv[1])' '$policy'"
check "systemd-analyze verify passes the unit" "systemd-analyze verify --man=no '$unit' >'$work/verify.log' 2>&1 || { cat '$work/verify.log'; false; }"
exposure=$(systemd-analyze security --offline=yes --no-pager "$unit" 2>/dev/null | sed -n 's/.*Overall exposure level for tavrel.service: \([0-9.]*\).*/\1/p')
check "systemd-analyze security rates it at most 2.0 ($exposure)" "awk -v e='$exposure' 'BEGIN { exit !(e != \"\" && e <= 2.0) }'"

check "man renders the page without warnings" \
      "[ -z \"\$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l '$root/usr/share/man/man1/tavrel.1.gz' 2>&1 >/dev/null)\" ]"
check "the man page names every switch" \
      "LC_ALL=C.UTF-8 MANWIDTH=80 man -l '$root/usr/share/man/man1/tavrel.1.gz' 2>/dev/null | grep -q -- '--version'"
check "the man page names the variables administrators set" \
      "(page=\$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l '$root/usr/share/man/man1/tavrel.1.gz' 2>/dev/null) && for v in TAVREL_METRICS_DIR TAVREL_SERVER_RATE_LIMIT TAVREL_NTS_CA_FILE; do grep -q \"\$v\" <<<\"\$page\" || exit 1; done)"
completion=$(bash -c "source '$root/usr/share/bash-completion/completions/tavrel'; COMP_WORDS=(tavrel /); COMP_CWORD=1; _tavrel; echo \"\${COMPREPLY[*]}\"")
check "bash completes the switches ($completion)" "[ '$completion' = '/q /s /x /z' ]"

# The unpacked program: help, then a run as an ordinary user's first.
tavrel="$root/usr/bin/tavrel"
check "tavrel --help exits 0 with the usage" "'$tavrel' --help | grep -q '^Usage: tavrel'"
home="$work/home"
mkdir -p "$home"
export XDG_CONFIG_HOME="$home/.config" TAVREL_CLOCK_FILE="$work/clock" XDG_RUNTIME_DIR="$work"
(cd "$work" && echo "command 2" | TAVREL_HEADLESS=1 timeout 60 "$tavrel" >/dev/null 2>&1) || true
data="$home/.config/Brennow/Tavrel"
check "the settings go to ~/.config/Brennow/Tavrel" "[ -s '$data/vIvod.dat' ]"
check "the shipped strings and server list serve without copies" \
      "[ ! -e '$data/Strings.txt' ] && [ ! -e '$data/ServFile.txt' ]"
check "nothing is written beside the program" "[ \"\$(ls '$root/usr/bin')\" = tavrel ] && [ \"\$(ls '$root/usr/share/tavrel' | wc -l)\" = 5 ]"
report "debian package"

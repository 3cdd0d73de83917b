#!/usr/bin/env bash
# Installs the package for real, then upgrades, removes and purges it, in a
# throwaway copy of this machine: in a private mount namespace, / is seen
# through an overlay whose writes land in memory, and dpkg runs chrooted into
# that copy. dpkg, the maintainer scripts, deb-systemd-helper and
# deb-systemd-invoke are the machine's own and change only the copy; the
# copy's systemctl does what works on unit files alone (enable, disable,
# preset, is-enabled) with --root=/, and notes the calls that would reach the
# service manager (start, stop, daemon-reload), which the copy does not have.
# Packages that the package conflicts with are removed from the copy only.
# Needs root. Usage: install_cycle.sh DEB
set -euo pipefail
deb=$(realpath "$1")
# The folder is made and removed outside the namespace: there its mounts are
# never seen, and they go with the namespace's last process.
if [ -z "${TAVREL_INSTALL_CYCLE_WORK:-}" ]; then
    work=$(mktemp -d)
    trap 'rm -rf --one-file-system "$work"' EXIT
    TAVREL_INSTALL_CYCLE_WORK=$work unshare --mount --net --propagation private bash "$0" "$deb"
    exit
fi
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/checks.sh
source "$here/../support/checks.sh"
# shellcheck source=machine_copy.sh
source "$here/machine_copy.sh"
work=$TAVREL_INSTALL_CYCLE_WORK

machine_copy "$work"
mount --rbind /dev "$copy/dev"
mount -t proc proc "$copy/proc"
# A machine that systemd runs, with no policy keeping services from starting
# (a container image's policy-rc.d would).
mkdir -p "$copy/run/systemd/system"
rm -f "$copy/usr/sbin/policy-rc.d"
mv "$copy/usr/bin/systemctl" "$copy/usr/bin/systemctl.real"
cat > "$copy/usr/bin/systemctl" <<'EOF'
#!/bin/sh
echo "$*" >> /run/systemctl.calls
case " $* " in
*" --root="*) exec /usr/bin/systemctl.real "$@" ;;
*" enable "* | *" disable "* | *" preset "* | *" is-enabled "*) exec /usr/bin/systemctl.real --root=/ "$@" ;;
*" is-active "*) exit 3 ;;
esac
exit 0
EOF
chmod 0755 "$copy/usr/bin/systemctl"
cp "$deb" "$copy/tmp/tavrel.deb"

in_copy() {
    chroot "$copy" env -i LC_ALL=C DEBIAN_FRONTEND=noninteractive \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}
# dpkg's output goes to a log that a failed check prints.
dpkg_in_copy() {
    echo "== dpkg $*" >> "$work/dpkg.log"
    in_copy dpkg "$@" >> "$work/dpkg.log" 2>&1
}
CHECK_ON_FAIL=show_log
show_log() { cat "$work/dpkg.log" "$copy/run/systemctl.calls" 2>/dev/null; }
calls() { cat "$copy/run/systemctl.calls" 2>/dev/null || true; }
forget_calls() { rm -f "$copy/run/systemctl.calls"; }
# shellcheck disable=SC2016 # dpkg-query's own fields, not the shell's
status() { in_copy dpkg-query -W -f='${db:Status-Status}' tavrel 2>/dev/null || echo not-installed; }
link="$copy/etc/systemd/system/multi-user.target.wants/tavrel.service"

# The time daemons installed here leave the copy, and a stand-in that
# provides time-daemon takes their place, so that the refusal is seen
# whatever this machine has.
mapfile -t others < <(copy_time_daemons in_copy)
[ ${#others[@]} -eq 0 ] || dpkg_in_copy --force-depends -r "${others[@]}"
mkdir -p "$work/other/DEBIAN"
cat > "$work/other/DEBIAN/control" <<'EOF'
Package: tavrel-test-time-daemon
Version: 1
Architecture: all
Maintainer: Tavrel developers <tavrel@tavrel.invalid>
Conflicts: time-daemon
Provides: time-daemon
Description: stands in for another time daemon
EOF
dpkg-deb --root-owner-group -b "$work/other" "$copy/tmp/other.deb" >/dev/null
check "a stand-in time daemon installs in the copy" "dpkg_in_copy -i /tmp/other.deb"
check "dpkg refuses to install the package beside it" \
      "! dpkg_in_copy -i /tmp/tavrel.deb && grep -q 'conflicts with time-daemon' '$work/dpkg.log' && [ \"\$(status)\" = not-installed ]"
dpkg_in_copy -r tavrel-test-time-daemon

# The first installation enables and starts the service.
forget_calls
check "it installs once no other time daemon is there" "dpkg_in_copy -i /tmp/tavrel.deb && [ \"\$(status)\" = installed ]"
check "the installation enables the service" \
      "[ \"\$(readlink '$link')\" = /lib/systemd/system/tavrel.service ]"
check "and starts it" "calls | grep -Eq '(^| )start tavrel\.service$'"
check "it makes the service's system user" "[ \"\$(in_copy id -u tavrel)\" -lt 1000 ] && in_copy id -g tavrel >/dev/null"

# An administrator's disable stands across an upgrade.
in_copy systemctl disable tavrel.service >/dev/null 2>&1
forget_calls
check "an upgrade of the disabled service goes through" "dpkg_in_copy -i /tmp/tavrel.deb && [ \"\$(status)\" = installed ]"
check "it neither enables nor starts it again" \
      "[ ! -L '$link' ] && ! calls | grep -Eq '(^| )(re)?start tavrel\.service$'"
in_copy systemctl enable tavrel.service >/dev/null 2>&1

# Removal stops the service and keeps it enabled, and its data, until a
# purge; a unit that Options wrote for the program goes with the program.
printf '[Service]\nExecStart="/usr/bin/tavrel" /x\n' > "$copy/etc/systemd/system/tavrel.service"
mkdir -p "$copy/var/lib/tavrel"
echo settings > "$copy/var/lib/tavrel/vIvod.dat"
forget_calls
check "dpkg -r removes it" "dpkg_in_copy -r tavrel && [ \"\$(status)\" = config-files ]"
check "removal stops the service" "calls | grep -Eq '(^| )stop tavrel\.service$'"
check "the program and the packaged unit are gone" \
      "[ ! -e '$copy/usr/bin/tavrel' ] && [ ! -e '$copy/lib/systemd/system/tavrel.service' ]"
check "the unit Options wrote for /usr/bin/tavrel is gone" "[ ! -e '$copy/etc/systemd/system/tavrel.service' ]"
check "the service stays enabled, with its data" "[ -L '$link' ] && [ -s '$copy/var/lib/tavrel/vIvod.dat' ]"

# A purge leaves nothing behind.
check "dpkg -P purges it" "dpkg_in_copy -P tavrel && [ \"\$(status)\" = not-installed ]"
check "the purge removes the link that enabled it and its record" \
      "[ ! -L '$link' ] && [ -z \"\$(find '$copy/var/lib/systemd' -name 'tavrel*' 2>/dev/null)\" ]"
check "the purge removes /var/lib/tavrel" "[ ! -e '$copy/var/lib/tavrel' ]"
report "install cycle"

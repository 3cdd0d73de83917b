#!/usr/bin/env bash
# The packaged service as systemd runs it, under its own user, in a
# throwaway copy of this machine (machine_copy.sh) booted by a systemd of its
# own in private mount, process, network, host-name, IPC and control-group
# namespaces. Nothing in that machine may set a clock, load a module or
# touch this machine's kernel settings: CAP_SYS_TIME and the like are gone
# from its bounding set, /proc/sys and /sys are read-only and the units that
# would try are masked. So the test's drop-in gives the service a simulated
# clock (Environment=TAVREL_CLOCK_FILE) and takes CAP_SYS_TIME out of what
# the unit asks for; the rest is the unit as shipped.
#
# The copy holds what a service run as root left in /var/lib/tavrel (its
# settings, server list and clock, 5 s ahead, root's and private), a zone
# other than the locked one, and a unit named chrony.service whose chronyd
# holds UDP 127.0.0.1:123. Installing the package must make the user tavrel
# and start the service as that user with no capability but binding low
# ports; the service must take the old data, correct its clock against a
# chronyd in a namespace beside the machine (joined by a veth pair with
# 127.x addresses), take port 123 from chrony.service and start it again,
# answer rdate and sntp on 37 and 123, put the locked zone back through
# timedated (the last two through the package's polkit rule), write its
# figures into the node exporter's folder once a package brings it, and be
# the NTP service timedated shows, stops and starts (timedatectl set-ntp).
# Needs root and a unified control-group hierarchy. Usage: installed_service.sh DEB
set -euo pipefail
deb=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)

# The work folder and the machine's control group are made and removed out
# here, where the namespaces' mounts are never seen; every process of the
# machine ends with its group.
if [ -z "${TAVREL_SERVICE_TEST_WORK:-}" ]; then
    hierarchy=""
    for candidate in /sys/fs/cgroup /sys/fs/cgroup/unified; do
        if [ "$(stat -fc %T "$candidate" 2>/dev/null)" = cgroup2fs ]; then
            hierarchy=$candidate
            break
        fi
    done
    if [ -z "$hierarchy" ]; then
        echo "SKIP: no unified control-group hierarchy to boot a machine in"
        exit 0
    fi
    # The peers are unpacked (downloaded once) while the network is still there.
    bash "$here/../support/peers.sh" peers_install
    work=$(mktemp -d)
    own=$(sed -n 's/^0:://p' /proc/self/cgroup)
    group="$hierarchy${own%/}/tavrel-service-test-$$"
    mkdir "$group"
    processes() { find "$group" -name cgroup.procs -exec cat {} + 2>/dev/null; }
    ended() { [ -z "$(processes)" ]; }
    cleanup() {
        if [ -e "$group/cgroup.kill" ]; then
            echo 1 > "$group/cgroup.kill"
        else
            for pid in $(processes); do kill -KILL "$pid" 2>/dev/null || true; done
        fi
        local end=$((SECONDS + 30))
        until ended || [ "$SECONDS" -ge "$end" ]; do sleep 0.1; done
        find "$group" -depth -type d -exec rmdir {} + 2>/dev/null || true
        rm -rf --one-file-system "$work"
    }
    trap cleanup EXIT
    status=0
    TAVREL_SERVICE_TEST_WORK=$work TAVREL_SERVICE_TEST_GROUP=$group \
        unshare --mount --net --propagation private bash "$0" "$deb" || status=$?
    exit "$status"
fi
work=$TAVREL_SERVICE_TEST_WORK
group=$TAVREL_SERVICE_TEST_GROUP
# The chronyd beside the machine, at the far end of the veth pair.
export PEERS_ADDR=127.77.0.2 PEERS_CHRONY_ALLOW=127.77.0.0/24
# shellcheck source=../support/checks.sh
source "$here/../support/checks.sh"
# shellcheck source=../support/peers.sh
source "$here/../support/peers.sh"
# shellcheck source=machine_copy.sh
source "$here/machine_copy.sh"
peers_require chronyd sntp rdate
peers_stop_on_exit
ip link set lo up
machine=127.77.0.1

machine_copy "$work"
# A /dev of the machine's own: the devices its services need, none of this
# machine's disks or consoles.
mount -t tmpfs -o mode=0755 tavrel-dev "$copy/dev"
for node in null zero full random urandom tty; do
    touch "$copy/dev/$node"
    mount --bind "/dev/$node" "$copy/dev/$node"
done
mkdir "$copy/dev/pts" "$copy/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 tavrel-pts "$copy/dev/pts"
ln -s pts/ptmx "$copy/dev/ptmx"
mount -t tmpfs -o mode=1777 tavrel-shm "$copy/dev/shm"
# What booting would do to the kernel this machine shares.
for unit in systemd-sysctl.service systemd-binfmt.service proc-sys-fs-binfmt_misc.automount \
            systemd-modules-load.service systemd-pstore.service systemd-random-seed.service \
            systemd-udevd.service systemd-udev-trigger.service sys-kernel-debug.mount sys-kernel-tracing.mount \
            sys-kernel-config.mount sys-fs-fuse-connections.mount systemd-firstboot.service systemd-repart.service; do
    ln -sf /dev/null "$copy/etc/systemd/system/$unit"
done
rm -f "$copy/usr/sbin/policy-rc.d"

in_chroot() {
    chroot "$copy" env -i LC_ALL=C DEBIAN_FRONTEND=noninteractive PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}
CHECK_ON_FAIL=show_logs
show_logs() {
    cat "$work/dpkg.log" 2>/dev/null || true
    inside journalctl --no-pager -n 60 -u tavrel.service -u chrony.service -u systemd-timedated.service 2>/dev/null || true
    cat "$copy/var/lib/private/tavrel/dLog.txt" 2>/dev/null | tail -n 20 || true
}
mapfile -t others < <(copy_time_daemons in_chroot)
[ ${#others[@]} -eq 0 ] || in_chroot dpkg --force-depends -r "${others[@]}" >> "$work/dpkg.log" 2>&1
# The node exporter's folder comes later, with a package.
rm -rf "$copy/var/lib/prometheus/node-exporter"

# The zone in force is New York's; the service locked Sydney's.
ln -sf /usr/share/zoneinfo/America/New_York "$copy/etc/localtime"
echo America/New_York > "$copy/etc/timezone"
# What the service left when it ran as root: its folder and private files,
# root's. The settings: SNTP, the servers on, the zone lock on (bias -600,
# Australia/Sydney) and logging of syncs.
state="$copy/var/lib/tavrel"
mkdir -m 0755 "$state"
printf '127.77.0.2\r\n' > "$state/ServFile.txt"
echo 50000000 > "$state/clock"
python3 - "$state/vIvod.dat" <<'EOF'
import struct, sys
record = bytearray(500)
for offset, value in ((116, 1), (124, 1), (176, -600), (348, 1), (356, 1)):
    struct.pack_into("<i", record, offset, value)
name = "Australia/Sydney".encode("utf-16-le")
record[180:180 + len(name)] = name
with open(sys.argv[1], "wb") as out:
    out.write(b"SYNC1400" + record)
EOF
chmod 0600 "$state"/*

# This machine can set no clock: the service's own is simulated, in its
# state folder, and it is not asked to hold CAP_SYS_TIME.
mkdir -p "$copy/etc/systemd/system/tavrel.service.d"
cat > "$copy/etc/systemd/system/tavrel.service.d/test.conf" <<'EOF'
[Unit]
ConditionCapability=
[Service]
Environment=TAVREL_CLOCK_FILE=/var/lib/tavrel/clock
AmbientCapabilities=
AmbientCapabilities=CAP_NET_BIND_SERVICE
EOF
# A local NTP daemon as its package would run it, holding UDP 127.0.0.1:123.
cp "$(command -v chronyd)" "$copy/usr/local/sbin/chronyd"
mkdir -p "$copy/etc/tavrel-test"
cat > "$copy/etc/tavrel-test/chrony.conf" <<'EOF'
local stratum 8
allow 127.0.0.1
bindaddress 127.0.0.1
port 123
cmdport 0
bindcmdaddress /
pidfile /run/chronyd-test.pid
EOF
cat > "$copy/etc/systemd/system/chrony.service" <<'EOF'
[Unit]
Description=A local NTP daemon holding UDP port 123
[Service]
ExecStart=/usr/local/sbin/chronyd -x -d -u root -f /etc/tavrel-test/chrony.conf
CapabilityBoundingSet=CAP_NET_BIND_SERVICE
EOF
cat > "$copy/etc/systemd/system/tavrel-test.target" <<'EOF'
[Unit]
Description=The machine of the service's test
Wants=dbus.socket chrony.service
EOF

# The machine boots: its systemd is the first process of its namespaces, in
# the test's control group.
(
    echo "$BASHPID" > "$group/cgroup.procs"
    exec unshare --pid --fork --cgroup --uts --ipc --net bash -c '
        copy=$1
        mount -t proc proc "$copy/proc"
        mount --bind "$copy/proc/sys" "$copy/proc/sys"
        mount -o remount,bind,ro "$copy/proc/sys"
        mount -t sysfs -o ro sysfs "$copy/sys"
        mount -t cgroup2 cgroup2 "$copy/sys/fs/cgroup"
        exec setpriv --bounding-set -sys_time,-sys_module,-sys_boot,-sys_rawio,-wake_alarm,-mac_admin,-mac_override \
            chroot "$copy" env -i container=tavrel-test /lib/systemd/systemd --unit=tavrel-test.target
    ' boot "$copy"
) > "$work/machine.log" 2>&1 &
booter=$!
init=""
first() { init=$(pgrep -P "$booter" -x systemd) || return 1; }
poll 30 first || { cat "$work/machine.log"; exit 1; }
inside() {
    nsenter -t "$init" -a -r -w env -i LC_ALL=C PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}
booted() { case $(inside systemctl is-system-running 2>/dev/null) in running | degraded) true ;; *) false ;; esac; }
check "the copy boots" "poll 60 booted"

# The veth pair: the machine at 127.77.0.1, this side at 127.77.0.2.
ip link add tavrel-side type veth peer name tavrel-machine netns "$init"
join() {  # DEVICE ADDRESS, in the namespace the caller runs in
    ip link set lo up
    ip addr add "$2/24" dev "$1"
    ip link set "$1" up
    sysctl -qw net.ipv4.conf.all.route_localnet=1 "net.ipv4.conf.$1.route_localnet=1"
    ip route del local 127.0.0.0/8 dev lo table local
    ip route add local 127.0.0.0/16 dev lo table local
}
join tavrel-side 127.77.0.2
nsenter -t "$init" -n bash -c "$(declare -f join); join tavrel-machine $machine"
check "chronyd answers beside the machine" "peers_start_chrony >/dev/null"
chrony_run=$(inside systemctl show -P InvocationID chrony.service)
check "the machine's own chronyd holds UDP 127.0.0.1:123" "inside systemctl is-active --quiet chrony.service"

cp "$deb" "$copy/tmp/tavrel.deb"
check "the package installs and starts the service" \
      "inside dpkg -i /tmp/tavrel.deb >> '$work/dpkg.log' 2>&1 && inside systemctl is-active --quiet tavrel.service"
uid=$(inside id -u tavrel 2>/dev/null) || uid=""
check "its system user is tavrel ($uid)" "[ -n '$uid' ] && [ '$uid' -lt 1000 ]"
pid=$(inside systemctl show -P MainPID tavrel.service)
field() { inside awk -v f="$1:" '$1 == f {print $2}' "/proc/$pid/status"; }
check "the service runs as tavrel" "[ \"\$(field Uid)\" = '$uid' ]"
# CAP_NET_BIND_SERVICE is bit 10.
check "holding no capability but binding low ports ($(field CapEff))" \
      "[ \"\$(field CapEff)\" = 0000000000000400 ] && [ \"\$(field CapBnd)\" = 0000000000000400 ]"

private="$copy/var/lib/private/tavrel"
check "the old data moved to /var/lib/private/tavrel, linked from /var/lib/tavrel" \
      "[ \"\$(readlink '$copy/var/lib/tavrel')\" = private/tavrel ] && [ -s '$private/vIvod.dat' ]"
check "all of it the user's" "[ -z \"\$(find '$private' ! -uid '$uid')\" ]"
corrected() { grep ',Corrected,' "$private/History.csv" 2>/dev/null | grep -q '127\.77\.0\.2'; }
check "it corrects its clock against chronyd, from the old server list" "poll 60 corrected"
offset=$(awk '{print $1; exit}' "$private/clock" 2>/dev/null) || offset=""
check "its clock is now within 0.1 s ($offset)" \
      "awk -v o='$offset' 'BEGIN { exit !(o != \"\" && o < 1000000 && o > -1000000) }'"
check "systemd shows the outcome" "inside systemctl show -P StatusText tavrel.service | grep -q '^Tavreled'"

guard() { setpriv --bounding-set -sys_time -- "$@"; }
near() { awk -v v="$1" -v limit="$2" 'BEGIN { exit !(v != "" && v <= limit && v >= -limit) }'; }
answers() { guard rdate -p "$machine" >/dev/null 2>&1 && guard sntp -t 1 "$machine" >/dev/null 2>&1; }
check "its servers answer" "poll 30 answers"
served=$(guard rdate -p "$machine" 2>/dev/null) || served=""
check "rdate reads its TIME server within a second ($served)" \
      "[ -n '$served' ] && near \$((\$(date -d '$served' +%s) - \$(date +%s))) 1"
served=$(guard sntp "$machine" 2>/dev/null) || served=""
check "sntp reads its SNTP server within 10 ms ($served)" "near \"$(echo "$served" | awk '{print $4}')\" 0.01"
check "it had UDP 123 from chrony.service, stopped and started again" \
      "[ \"\$(inside systemctl show -P InvocationID chrony.service)\" != '$chrony_run' ]"

restored() {
    readlink "$copy/etc/localtime" | grep -q 'zoneinfo/Australia/Sydney$' &&
        grep -q 'Time Zone Restored' "$private/dLog.txt" 2>/dev/null
}
check "timedated put the locked zone back" "poll 30 restored"

# The node exporter's package brings its folder: the service may write
# there at once, and does once it has a result.
mkdir -p "$work/exporter/DEBIAN" "$work/exporter/var/lib/prometheus/node-exporter"
cat > "$work/exporter/DEBIAN/control" <<'EOF'
Package: tavrel-test-node-exporter
Version: 1
Architecture: all
Maintainer: Tavrel developers <tavrel@tavrel.invalid>
Description: stands in for prometheus-node-exporter's textfile folder
EOF
dpkg-deb --root-owner-group -b "$work/exporter" "$copy/tmp/exporter.deb" >/dev/null
check "a package brings the node exporter's folder" "inside dpkg -i /tmp/exporter.deb >> '$work/dpkg.log' 2>&1"
check "the service restarts" "inside systemctl restart tavrel.service"
figures="$copy/var/lib/prometheus/node-exporter/tavrel.prom"
written() { grep -q '^tavrel_clock_synchronised 1$' "$figures" 2>/dev/null; }
check "and writes its figures there" "poll 60 written"
check "the file is the user's, for every reader" "[ \"\$(stat -c '%u %a' '$figures')\" = '$uid 644' ]"
# timedated's NTP switch (timedatectl set-ntp, the desktop's automatic date
# and time) drives the service its list names. timedated reads the lists at
# start, so it is stopped whenever one changes; the next call starts it.
ntp() { inside timedatectl show -p "$1" --value 2>/dev/null; }
ntp_service() { inside timedatectl status 2>/dev/null | grep -q "NTP service: $1\$"; }
unit_is() { [ "$(inside systemctl is-active tavrel.service)" = "$1" ] && [ "$(inside systemctl is-enabled tavrel.service)" = "$2" ]; }
switched_on() { unit_is active enabled && [ "$(ntp NTP)" = yes ] && ntp_service active; }
switched_off() { unit_is inactive disabled && [ "$(ntp NTP)" = no ] && ntp_service inactive; }
check "timedated can switch NTP and shows the running service as its NTP service" \
      "[ \"\$(ntp CanNTP)\" = yes ] && poll 60 switched_on"
check "timedatectl set-ntp false stops and disables the service" \
      "inside timedatectl set-ntp false && poll 60 switched_off"
check "timedatectl set-ntp true starts and enables it again" \
      "inside timedatectl set-ntp true && poll 60 switched_on"
# A list left by a time daemon that has gone (removed, not purged, or an
# administrator's): timedated passes over a unit that is not there.
mkdir -p "$copy/etc/systemd/ntp-units.d"
echo tavrel-test-gone.service > "$copy/etc/systemd/ntp-units.d/50-tavrel-test-gone.list"
inside systemctl stop systemd-timedated.service
chose_us() {
    inside journalctl --no-pager -u systemd-timedated.service | grep 'Set NTP to enabled' | tail -n 1 |
        grep -q '(tavrel.service)'
}
check "a listed unit that is not installed is passed over for the service" \
      "inside timedatectl set-ntp false && poll 60 switched_off && inside timedatectl set-ntp true && poll 60 switched_on && poll 30 chose_us"
report "installed service"

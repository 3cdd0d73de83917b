#!/usr/bin/env bash
# The zone set through timedated's SetTimezone: a stand-in for timedated on
# a private bus (as DBUS_SYSTEM_BUS_ADDRESS), in a mount namespace where /etc
# is an overlay and /run a fresh tmpfs that says systemd runs, so that the
# machine's own zone is never touched. Once accepting, once refusing, once
# with nobody owning timedated's name.
# Usage: timedated_zone.sh UNIT_TESTS FAKE_TIMEDATED
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
    echo "timedated zone: skipped (needs root for the mount namespace)"
    exit 0
fi
tests=$(realpath "$1")
fake=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/checks.sh
source "$here/../support/checks.sh"
if [ "${TAVREL_TIMEDATED_NS:-}" != 1 ]; then
    exec unshare -m env TAVREL_TIMEDATED_NS=1 bash "$0" "$@"
fi
mount --make-rprivate /
work=$(mktemp -d)
bus_pid="" fake_pid=""
cleanup() {
    [ -n "$fake_pid" ] && kill "$fake_pid" 2>/dev/null || true
    [ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null || true
    umount /etc 2>/dev/null || true
    umount /run 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/up" "$work/wk" "$work/state"
mount -t overlay overlay -o "lowerdir=/etc,upperdir=$work/up,workdir=$work/wk" /etc
mount -t tmpfs tmpfs /run
mkdir -p /run/systemd/system
cat > "$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$work/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile >"$work/bus.log" 2>&1 &
bus_pid=$!
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/bus"
poll 20 test -S "$work/bus" || { cat "$work/bus.log"; exit 1; }
export TAVREL_TEST_TIMEDATED_RECORD="$work/record"
unset TAVREL_LOCALTIME TZ

run_case() {
    local mode=$1
    rm -f "$work/record" "$work/fake.out"
    touch "$work/record"
    ln -sfn /usr/share/zoneinfo/Etc/UTC /etc/localtime
    if [ "$mode" != absent ]; then
        "$fake" "$work/record" "$mode" >"$work/fake.out" 2>&1 &
        fake_pid=$!
        poll 20 grep -q ready "$work/fake.out" || { cat "$work/fake.out"; return 1; }
    fi
    local status=0
    TAVREL_TEST_TIMEDATED_MODE=$mode "$tests" --gtest_filter='TimedatedZone.*' >"$work/test.out" 2>&1 || status=$?
    if [ -n "$fake_pid" ]; then kill "$fake_pid" 2>/dev/null || true; wait "$fake_pid" 2>/dev/null || true; fake_pid=""; fi
    [ $status -eq 0 ] && grep -q '\[  PASSED  \] 1 test' "$work/test.out" || { cat "$work/test.out"; return 1; }
}
check "timedated accepting sets the zone, asked interactively" "run_case accept"
check "timedated refusing leaves the zone, with no second way" "run_case refuse"
check "without timedated the link is set by hand" "run_case absent"
report "timedated zone"

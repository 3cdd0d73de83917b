#!/usr/bin/env bash
# The desktop window (GTK) on a virtual display (Xvfb) and a session bus of
# its own, driven through the accessibility tree and the keyboard as a user
# would (drive.py), against chronyd in a private network namespace, with the
# simulated clock. The program and its driver run as an unprivileged user.
# Screenshots of every window go to the folder named by TAVREL_SHOTS_DIR
# (else desktop-shots/ in the current folder), kept as the run's artifacts.
# Usage: desktop_window.sh PROGRAM
set -euo pipefail
if [ "${TAVREL_DESKTOP_NETNS:-}" != 1 ]; then
    bash "$(dirname "$0")/../support/peers.sh" peers_install
    shots=${TAVREL_SHOTS_DIR:-$PWD/desktop-shots}
    mkdir -p "$shots"
    exec unshare -m -n env TAVREL_DESKTOP_NETNS=1 TAVREL_SHOTS_DIR="$(realpath "$shots")" bash "$0" "$@"
fi
program=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
ip link set lo up
# shellcheck source=../support/names.sh
source "$here/../support/names.sh"
names_own
# shellcheck source=../support/peers.sh
source "$here/../support/peers.sh"
peers_stop_on_exit
peers_start_chrony

user=nobody
work=$(mktemp -d)
xvfb_pid=
cleanup() {
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    [ -n "${TAVREL_DESKTOP_KEEP_LOG:-}" ] && cp "$work/xvfb.log" "$TAVREL_DESKTOP_KEEP_LOG" || true
    peers_stop
    rm -rf "$work"
}
trap cleanup EXIT

# A display of the test's own: Xvfb picks a free number and tells it. It
# never starts afresh when its last client goes (-noreset): a program
# started while it did would find no display.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
display=":$(head -n1 "$work/display")"
# Ready once a client is answered.
for _ in $(seq 100); do DISPLAY=$display xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done

mkdir -p "$work/run" "$work/home" "$work/shots"
cp "$program" "$work/tavrel"
printf '127.0.0.1\r\n' >"$work/ServFile.txt"
echo 0 >"$work/clock"
# The stand-in for pkexec: how it was called and by whom, then the clock
# helper with the right to set the (simulated) clock.
cat >"$work/elevator" <<'STANDIN'
#!/bin/sh
{
    echo "call uid=$(id -u) parent=$PPID $*"
} >>"$(dirname "$0")/elevator.calls"
exec env -u TAVREL_CLOCK_NO_RIGHT "$@"
STANDIN
chmod 755 "$work/elevator"
chown -R "$user:" "$work"
chmod 700 "$work/run"
chmod 755 "$work"

status=0
for scenario in ${TAVREL_DESKTOP_SCENARIOS:-mouse keyboard tray large notray}; do
    echo "== $scenario"
    # The large scenario: the desktop's fonts 1.75 times their size.
    scale=1
    [ "$scenario" = large ] && scale=1.75
    # A session bus of the scenario's own; LANG unset as on a bare machine.
    if ! setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups --inh-caps=-all --bounding-set=-all \
        env -i PATH=/usr/bin:/bin DISPLAY="$display" HOME="$work/home" XDG_RUNTIME_DIR="$work/run" \
        XDG_CONFIG_HOME="$work/home/.config" TAVREL_CLOCK_FILE="$work/clock" TAVREL_CLOCK_NO_RIGHT=1 \
        TAVREL_ELEVATOR="$work/elevator" NO_AT_BRIDGE=0 \
        GTK_A11Y=atspi GDK_BACKEND=x11 GDK_DPI_SCALE="$scale" \
        timeout 300 dbus-run-session -- /usr/bin/python3 "$here/drive.py" "$scenario" "$work" "$work/tavrel" \
        "$work/shots"; then
        status=1
        echo "-- the program said:"; cat "$work/program.out" 2>/dev/null || true
    fi
done
cp "$work"/shots/*.png "$TAVREL_SHOTS_DIR/" 2>/dev/null || true
exit $status

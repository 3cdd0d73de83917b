#!/usr/bin/env bash
# What the shown desktop window costs while nobody uses it: its share of a
# core and its resident memory, sampled every 10 s over SECONDS_IDLE
# (default 600) on a virtual display, beside a GTK program that does nothing
# but show a window with a clock label updated each second (python3-gi),
# measured in the same run as the peer.
# Usage: desktop_idle.sh PROGRAM
set -euo pipefail
program=$(realpath "$1")
idle=${SECONDS_IDLE:-600}
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$work/display")"
dbus-daemon --session --fork --print-address=3 --print-pid=4 3>"$work/bus" 4>"$work/bus.pid"
DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$work/bus")
export DBUS_SESSION_BUS_ADDRESS
pids+=("$(head -n1 "$work/bus.pid")")

cp "$program" "$work/tavrel"
printf '127.0.0.1\r\n' >"$work/ServFile.txt"
echo 0 >"$work/clock"
(cd "$work" && exec env TAVREL_CLOCK_FILE="$work/clock" XDG_RUNTIME_DIR="$work" HOME="$work" ./tavrel --desktop \
    >/dev/null 2>&1) &
pids+=($!)
tavrel=$!
cat >"$work/peer.py" <<'EOF'
import time
import gi
gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk
window = Gtk.Window(title="peer")
label = Gtk.Label()
window.add(label)
def tick():
    label.set_text(time.strftime("%H:%M:%S"))
    return True
GLib.timeout_add(1000, tick)
window.show_all()
Gtk.main()
EOF
/usr/bin/python3 "$work/peer.py" >/dev/null 2>&1 &
pids+=($!)
peer=$!

ticks=$(getconf CLK_TCK)
cpu() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
sleep 10  # started, its first drawing done
t0=$(date +%s.%N)
c0=$(cpu "$tavrel"); p0=$(cpu "$peer")
first=$(rss "$tavrel"); peak=$first
samples=$((idle / 10))
for _ in $(seq "$samples"); do
    sleep 10
    now=$(rss "$tavrel")
    [ "$now" -gt "$peak" ] && peak=$now
done
t1=$(date +%s.%N)
c1=$(cpu "$tavrel"); p1=$(cpu "$peer")
last=$(rss "$tavrel")
awk -v c="$((c1 - c0))" -v p="$((p1 - p0))" -v t0="$t0" -v t1="$t1" -v hz="$ticks" -v first="$first" \
    -v last="$last" -v peak="$peak" 'BEGIN {
    span = t1 - t0
    tav = 100 * c / hz / span; peer = 100 * p / hz / span
    printf "idle for %.0f s\n", span
    printf "tavrel: %.3f%% of a core; resident %d kB at the start, %d kB at the end, %d kB at most\n", tav, first, last, peak
    printf "peer (a GTK clock label): %.3f%% of a core\n", peer
    if (peer > 0) printf "ratio tavrel/peer: %.2f\n", tav / peer
}'

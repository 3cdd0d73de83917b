#!/usr/bin/env bash
# Tavrel.exe's window program under Wine told what Windows tells a laptop's
# programs: a wake (WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC) while its walk
# waits after a round that no server answered makes it try again at once
# instead of after the pause; a clock that another program stepped
# (WM_TIMECHANGE, the simulated clock moved by the test) is logged, kept in
# the History, and makes the AutoCheck run at once; its own correction's
# WM_TIMECHANGE is not taken for another program's. Wine itself sends
# neither message for the host's sleep or clock, so the probe sends them as
# Windows would, to the program's window.
# Usage: laptop_window.sh BUILD_DIR
set -euo pipefail
if [ "${TAVREL_WINE_NETNS:-}" != 1 ]; then
    # The peers are unpacked (downloaded once) while the network is still there.
    bash "$(dirname "$0")/../support/peers.sh" peers_install
    exec unshare -m -n env TAVREL_WINE_NETNS=1 bash "$0" "$@"
fi
build=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/checks.sh
source "$here/../support/checks.sh"
# shellcheck source=wine_session.sh
source "$here/wine_session.sh"
ip link set lo up
# shellcheck source=../support/names.sh
source "$(dirname "$0")/../support/names.sh"
names_own
# shellcheck source=../support/peers.sh
source "$here/../support/peers.sh"
peers_stop_on_exit

xvfb=""
cleanup() {
    if [ "$failed" -ne 0 ] && [ -n "${work:-}" ]; then
        tail -15 "$work/program/dLog.txt" 2>/dev/null || true
        tail -5 "$work/program/History.csv" 2>/dev/null || true
        cat "$work/clock" 2>/dev/null || true
    fi
    wine_program_stop
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
    peers_stop
}
trap cleanup EXIT

display_file=$(mktemp)
Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp 5>"$display_file" >/dev/null 2>&1 &
xvfb=$!
poll 30 test -s "$display_file"
DISPLAY=:$(head -n1 "$display_file")
export DISPLAY
rm -f "$display_file"

logged() { grep -c "$1" "$work/program/dLog.txt" 2>/dev/null || true; }
# The status line, read from the window's controls.
status_shows() { probe controls TAVREL | grep -q "$1"; }

wine_program_start
# Two listed servers (the walk pauses between rounds only over a list),
# SNTP, a Correct at start, the AutoCheck every 4 hours, and syncs, checks
# and errors logged.
printf '127.0.0.1\r\n::1\r\n' > "$work/program/ServFile.txt"
python3 - "$work/program/vIvod.dat" <<'PY'
import struct, sys
path = sys.argv[1]
data = bytearray(open(path, 'rb').read())
def word(offset, value):
    data[8 + offset:8 + offset + 4] = struct.pack('<I', value)
word(116, 1)    # SNTP
word(172, 2)    # Correct at start
word(140, 5)    # 5 s for a reply
word(384, 1)    # AutoCheck
word(388, 4)    # every 4
word(392, 1)    # hours
word(356, 1)    # log syncs
word(360, 1)    # log checks
word(364, 1)    # log errors
open(path, 'wb').write(bytes(data))
PY

# No time service yet: the first round fails and the walk waits 30 s.
(cd "$work/program" && exec wine explorer /desktop=tavrel,1024x768 Tavrel.exe </dev/null >"$work/explorer.out" 2>&1) &
check "the main window shows" "probe find TAVREL 120 >/dev/null"
check "no server answers the first round and the walk waits" "poll 90 status_shows 'No server answered; next try in'"
waiting_since=$(date +%s)
peers_start_chrony >/dev/null
check "the window takes the wake" "probe send TAVREL resume"
# The pause would end 30 s after the round; the wake ends it at once.
check "after the wake the walk tries again and corrects the clock" "poll 20 grep -q ' : Tavreled' '$work/program/dLog.txt'"
check "well before the pause was over" "[ \$(( \$(date +%s) - waiting_since )) -lt 25 ]"
check "the clock is within 10 ms of the server's" "awk '{ exit !(\$1 > -100000 && \$1 < 100000) }' '$work/clock'"

# Its own correction broadcast a WM_TIMECHANGE that the window heard: no
# line says another program set the clock.
check "its own correction is not taken for another program's" "[ \"\$(logged 'set by another program')\" = 0 ]"

checks_before=$(logged 'Time Checked')
# Another program steps the clock an hour and a fifth of a second ahead.
python3 - "$work/clock" <<'PY'
import os, sys
path = sys.argv[1]
fields = open(path).read().split()
fields[0] = str(int(fields[0]) + 36002000000)
with open(path + '.new', 'w') as f:
    f.write(' '.join(fields) + '\n')
os.replace(path + '.new', path)
PY
check "the window takes the clock's change" "probe send TAVREL timechange"
check "the log says another program set the clock" \
    "poll 20 grep -q 'The clock was set by another program: +3600.2 s' '$work/program/dLog.txt'"
check "the History keeps it" "poll 10 grep -Eq '3600\\.(19|20)' '$work/program/History.csv'"
check "the AutoCheck runs at once" "poll 30 sh -c '[ \$(grep -c \"Time Checked\" \"$work/program/dLog.txt\") -gt $checks_before ]'"
check "a second notice of the same change says nothing more" \
    "probe send TAVREL timechange && probe hold 2 && [ \"\$(logged 'set by another program')\" = 1 ]"

report "Tavrel.exe under Wine: a wake and a clock set by another program"

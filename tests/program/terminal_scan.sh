#!/usr/bin/env bash
# The scan window in a real terminal (tmux, as an xterm) at 80x24, as a new
# user meets it: the shipped server list, longer than the window, scrolls by
# End, Home, PgDn and the wheel, and a scroll mark and the range shown tell
# that rows are hidden. Runs in mount and network namespaces of its own, its
# name server a closed loopback port: every lookup fails at once, so the
# scan runs through the list quickly and no traffic leaves.
# Usage: terminal_scan.sh PROGRAM
set -euo pipefail
if [ "${TAVREL_SCAN_NS:-}" != 1 ]; then
    if [ "$(id -u)" -eq 0 ]; then
        exec unshare -m -n env TAVREL_SCAN_NS=1 bash "$0" "$@"
    fi
    exec unshare -r -m -n env TAVREL_SCAN_NS=1 bash "$0" "$@"
fi
program=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/checks.sh
source "$here/../support/checks.sh"
ip link set lo up
# shellcheck source=../support/names.sh
source "$here/../support/names.sh"
names_own
work=$(mktemp -d)
socket="$work/tmux.sock"
cleanup() {
    tmux -S "$socket" kill-server 2>/dev/null || true
    umount /etc/resolv.conf 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
# shellcheck source=../support/tmux_screen.sh
source "$here/../support/tmux_screen.sh"
TMUX_KEY_PAUSE=0.2
printf 'nameserver 127.0.0.53\n' > "$work/resolv.conf"
mount --bind "$work/resolv.conf" /etc/resolv.conf

cp "$program" "$work/tavrel"
tmux -S "$socket" new-session -d -s tavrel -x 80 -y 24 \
    "cd '$work' && env -u DISPLAY -u WAYLAND_DISPLAY TAVREL_CLOCK_FILE='$work/clock' XDG_CONFIG_HOME='$work/xdg' \
     XDG_RUNTIME_DIR='$work' TERM=xterm-256color ./tavrel; echo ENDED; sleep 60"
check "the window starts" "wait_for Ready"
servers=$(grep -cv '^[[:space:]]*#' "$work/ServFile.txt" || true)
first=$(grep -v '^[[:space:]]*#' "$work/ServFile.txt" | head -n 1 | tr -d '\r')
last=$(grep -v '^[[:space:]]*#' "$work/ServFile.txt" | tail -n 1 | tr -d '\r')
echo "scanning $servers servers, $first to $last"

# Options (Tab from Check), then its Scan button.
shows 'Change the way Tavrel works' || keys Tab Tab
keys Space
check "Options opens" "wait_for 'Use List'"
click Scan
check "the scan window opens" "wait_for 'Scanning Servers'"
# Every server's TIME and SNTP steps fail at once: a tick each.
check "the scan goes through the whole list" "poll $((servers * 2 + 60)) shows 'Scan Servers - Finished'"
check "the first rows show, the last does not" "shows '$first' && hides '$last'"
check "the range shown is on the hints line" "shows '1-12 of $servers'"
check "an arrow tells rows are hidden below" "screen | grep -q '[v▼][│|]\$'"
keys End
check "End brings the last server into view" "wait_for '$last' && hides '$first'"
check "the range follows" "shows 'of $servers' && ! shows '1-12 of'"
keys Home
check "Home brings the first back" "wait_for '$first' && hides '$last'"
for _ in 1 2 3; do keys PPage; done
check "PgUp at the top stays there" "shows '$first'"
for _ in 1 2 3; do keys NPage; done
check "PgDn reaches the last server" "wait_for '$last' && hides '$first'"
check "an arrow tells rows are hidden above" "screen | grep -q '[\\^▲][│|]\$'"
# The wheel over the list (an xterm's SGR report of button 4, a notch up).
at=$(screen | python3 -c '
import sys
for y, line in enumerate(sys.stdin.read().split("\n")):
    if sys.argv[1] in line:
        print(line.find(sys.argv[1]) + 1, y + 1)
        break' "$last")
# shellcheck disable=SC2086
set -- ${at:-1 1}
for _ in 1 2 3 4 5 6 7 8 9 10; do tmux -S "$socket" send-keys -t tavrel -l $'\e[<64;'"$1;$2M"; done
check "the wheel scrolls back to the first server" "wait_for '$first' && hides '$last'"

keys Escape
check "the scan window closes" "gone 'Scan Servers - Finished'"
keys Escape
check "Options closes" "gone 'Use List'"
keys Escape
check "the program ends" "wait_for ENDED"
report "terminal scan"

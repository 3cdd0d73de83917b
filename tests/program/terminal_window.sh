#!/usr/bin/env bash
# The window program in a real terminal (tmux), driven by keys as a user
# would, against chronyd and xinetd's time service in a private network
# namespace, with the simulated clock.
# Usage: terminal_window.sh PROGRAM
set -euo pipefail
if [ "${TAVREL_TUI_NETNS:-}" != 1 ]; then
    # The peers are unpacked (downloaded once) while the network is still there.
    bash "$(dirname "$0")/../support/peers.sh" peers_install
    exec unshare -m -n env TAVREL_TUI_NETNS=1 bash "$0" "$@"
fi
program=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/checks.sh
source "$here/../support/checks.sh"
ip link set lo up
# shellcheck source=../support/names.sh
source "$(dirname "$0")/../support/names.sh"
names_own
# shellcheck source=../support/peers.sh
source "$here/../support/peers.sh"
peers_stop_on_exit
peers_start_chrony

work=$(mktemp -d)
socket="$work/tmux.sock"
cleanup() {
    tmux -S "$socket" kill-server 2>/dev/null || true
    peers_stop
    rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source=../support/tmux_screen.sh
source "$(cd "$(dirname "$0")" && pwd)/../support/tmux_screen.sh"
clock_within() { awk -v limit="$1" '{ v = $1 / 1e7; exit !(v < limit && v > -limit) }' "$work/clock"; }
start() {
    tmux -S "$socket" new-session -d -s tavrel -x 100 -y 30 \
        "cd '$work' && env TAVREL_CLOCK_FILE='$work/clock' XDG_CONFIG_HOME='$work/xdg' XDG_RUNTIME_DIR='$work' \
         TERM=screen-256color ./tavrel; echo ENDED; sleep 60"
}

cp "$program" "$work/tavrel"
printf '127.0.0.1\r\n' > "$work/ServFile.txt"
echo 50000000 > "$work/clock"  # 5 s ahead

start
check "the window shows Ready" "wait_for Ready"
check "the window shows the computer name" "shows '$(hostname)'"
check "the window shows the local clock" "shows '$(date +%Y)'"
check "the window shows its five buttons" \
    "shows Check && shows Correct && shows Options && shows 'Time Zone' && shows About"

keys Enter
check "Enter runs a Check that shows the difference" "wait_for 'Time Checked, Difference found as -'"
check "a Check leaves the clock" "! clock_within 4"

keys Tab Space
check "Tab and Space run a Correct" "wait_for 'Time Corrected by -'"
check "the Correct sets the simulated clock" "clock_within 0.05"

keys F8
check "minimising leaves a one-line entry" "wait_for 'Tavrel 1.5' && ! shows Correct"
keys Enter
check "Enter restores the window" "wait_for Correct"

# Close box with Tray and Resident: save the settings with Resident on first.
keys F10
check "Shift-F10 / F10 opens the menu" "wait_for 'Sync Now'"
keys Up Enter
check "the menu's Exit ends the program" "wait_for ENDED"
check "Exit saves the settings" "[ \$(stat -c %s '$work/vIvod.dat') = 508 ]"
end_session
printf '\001' | dd of="$work/vIvod.dat" bs=1 seek=$((8 + 160)) conv=notrunc status=none  # residentEnabled
start
check "the window comes back" "wait_for Ready"
keys F4
# The tray entry's glyph is ◷ in a UTF-8 locale and @ in the C locale.
check "the close box with Tray and Resident hides to the tray entry" "wait_for '\\(◷\\|@\\) \\(Tavrel\\|[0-9]\\)' && ! shows Correct"
check "the tray entry's tip follows the countdown" "wait_for '\\(◷\\|@\\) [0-9].* until AutoSync'"
keys Enter
check "Enter on the tray entry restores the window" "wait_for Correct"

# Idle cost of the shown window over 10 s.
shell=$(tmux -S "$socket" list-panes -t tavrel -F '#{pane_pid}')
pid=$(pgrep -P "$shell" -x tavrel | head -1)
before=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
sleep 10
after=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
ticks=$(getconf CLK_TCK)
share=$(awk -v t=$((after - before)) -v hz="$ticks" 'BEGIN { printf "%.2f", 100 * t / hz / 10 }')
echo "idle window: ${share}% of a core"
check "idle, the window costs under 1% of a core (${share}%)" "awk -v s=$share 'BEGIN { exit !(s < 1) }'"
keys Escape
check "Escape ends the program" "wait_for ENDED"

report "terminal window"

#!/usr/bin/env bash
# The Options sheet in a real terminal (tmux), driven by keys: changes made
# on its pages, OK and Cancel, the log boxes, "Use authenticated servers
# only", and Reset to defaults.
# Usage: terminal_options.sh PROGRAM
set -euo pipefail
program=$(realpath "$1")
# shellcheck source=../support/checks.sh
source "$(cd "$(dirname "$0")" && pwd)/../support/checks.sh"
work=$(mktemp -d)
socket="$work/tmux.sock"
trap 'tmux -S "$socket" kill-server 2>/dev/null || true; sleep 0.2; rm -rf "$work"' EXIT

# shellcheck source=../support/tmux_screen.sh
source "$(cd "$(dirname "$0")" && pwd)/../support/tmux_screen.sh"
TMUX_KEY_PAUSE=0.2
byte() { od -An -tu1 -j $((8 + $1)) -N1 "$work/vIvod.dat" | tr -d ' '; }
start() {
    tmux -S "$socket" new-session -d -s tavrel -x 100 -y 30 \
        "cd '$work' && env TAVREL_CLOCK_FILE='$work/clock' XDG_CONFIG_HOME='$work/xdg' XDG_RUNTIME_DIR='$work' \
         TERM=screen-256color ./tavrel; echo ENDED; sleep 60"
    wait_for Ready || true
}
stop() { end_session; }
open_options() {
    # The main window keeps its focus across the sheet, as a dialog does:
    # Options' tooltip under the window tells that it has it.
    shows 'Change the way Tavrel works' || keys Tab Tab  # from Check to Options
    keys Space
    wait_for 'Servers     Auto' || true
}

cp "$program" "$work/tavrel"
printf 'one.example\r\ntwo.example\r\n' > "$work/ServFile.txt"
start
open_options
check "Options opens on the Servers page" "shows 'Use List'"
# Focus: the four tabs, then Use List, Manual A, Manual B, the server list,
# Default server only and the protocol list.
keys Tab Tab Tab Tab Tab Tab Tab Tab Tab Up Up
check "the protocol list shows TIME" "shows 'TIME (RFC-868)'"
keys BTab BTab BTab BTab BTab BTab BTab Space  # the System tab
check "the System page shows" "wait_for 'Sync Time-Out'"
# From the System tab: the Misc tab, then Enable, Reset, After, but before,
# Auto Reset and the time-out.
keys Tab Tab Tab Tab Tab Tab Tab BSpace BSpace 2
check "the time-out field reads 2" "shows '\\[2'"
keys Enter
check "OK refuses a time-out of 2 with a message" "wait_for '2 is not a valid entry'"
keys Enter
check "the message closes on the System page" "gone 'not a valid entry' && shows 'Sync Time-Out'"
keys BSpace 3 0 Enter
check "OK closes the sheet" "gone 'Sync Time-Out'"
check "OK saves protocol TIME" "[ \"\$(byte 116)\" = 0 ]"
check "the time-out typed is stored" "[ \"\$(byte 140)\" = 30 ]"

# Without an nts:// entry in the list, "Use authenticated servers only" is
# drawn greyed (dim), and the focus passes it by: Tab from Scan reaches OK.
box_dim() { screen_styled | grep -qF $'\e[2m[ ] Use authenticated servers only'; }
open_options
check "with no nts:// entry the box is greyed" "box_dim"
keys Tab Tab Tab Tab Tab Tab Tab Tab Tab Tab Tab Tab Tab Space
check "the focus passes the greyed box by, to OK" "gone 'Use List'"
check "and the box is stored clear" "[ \"\$(byte 20)\" = 0 ]"

# Cancel: the Servers page left by a tab switch keeps its change, the Misc
# page showing at Cancel does not.
open_options
keys Tab Tab Tab Tab Tab Tab Tab Tab Tab Down  # protocol SNTP
keys BTab BTab BTab BTab BTab BTab Space         # the Misc tab
check "the Misc page shows" "wait_for 'No Log'"
keys Tab Tab Tab Tab Tab Tab Tab Tab Tab Tab Tab Tab Tab Tab Space  # On Top
check "On Top is ticked on the page" "shows '\\[x\\] On Top'"
keys Escape
check "Escape cancels the sheet" "gone 'No Log'"
check "the page left earlier keeps its change" "[ \"\$(byte 116)\" = 1 ]"
check "the page showing at Cancel does not" "[ \"\$(byte 96)\" = 0 ]"

# No Log greys the seven boxes: the focus then skips from No Log to View Log.
open_options
keys Tab Tab Tab Space  # the Misc tab
wait_for 'No Log' || true
keys Tab
keys Space
check "No Log is ticked" "wait_for '\\[x\\] No Log'"
keys Tab
check "with No Log the focus skips the greyed log boxes" "wait_for 'Opens up the Tavrel log text file'"

# The date picker's drop-down calendar.
keys Escape
gone 'No Log' || true
open_options
keys Tab Tab Space  # the System tab
wait_for 'Date Ranges' || true
keys Tab Tab Tab Tab  # Misc tab, Enable, Reset, then the After date
before=$(screen | grep 'After' || true)
keys Space
check "Space opens the calendar" "wait_for 'Su Mo Tu We Th Fr Sa'"
keys Right
keys Enter
check "the calendar closes" "gone 'Su Mo Tu We Th Fr Sa'"
after=$(screen | grep 'After' || true)
check "the chosen date shows in the picker" "[ -n \"\$after\" ] && [ \"\$before\" != \"\$after\" ]"

# Reset to defaults through the QuestionBox rewrites a changed Strings.txt.
sed -i '1s/.*/Prove\r/' "$work/Strings.txt"
keys Escape
gone 'No Log' || true
stop
start
check "the changed string shows" "shows Prove"
open_options
keys Tab Tab Tab Space  # the Misc tab
wait_for 'No Log' || true
keys BTab BTab BTab BTab BTab BTab BTab Space  # Reset
check "Reset asks first" "wait_for 'Reset to default all settings?'"
keys Tab Enter  # from "No" (where it opens) to "Yes, this is what I want."
check "the question closes" "gone 'Reset to default all settings?'"
check "Reset rewrites Strings.txt" "head -c 7 '$work/Strings.txt' | cmp -s - <(printf 'Check\\r\\n')"
keys Escape
stop

# With an nts:// entry in the list the box is not greyed and takes the
# focus after Scan: it is ticked from the keyboard, OK stores it, and the
# next start shows it.
printf 'one.example\r\nnts://127.0.0.1:9\r\n' > "$work/ServFile.txt"
start
open_options
check "with an nts:// entry the box is not greyed" "wait_for 'Use authenticated' && ! box_dim"
keys Escape
gone 'Use List' || true
open_options
keys Tab Tab Tab Tab Tab Tab Tab Tab Tab Tab Tab Tab Tab Space
check "the box is ticked" "wait_for '\\[x\\] Use authenticated servers only'"
keys Enter
check "OK closes the sheet" "gone 'Use List'"
check "OK stores the choice" "[ \"\$(byte 20)\" = 1 ]"
stop
start
open_options
check "the choice is read back at the next start" "shows '\\[x\\] Use authenticated servers only'"
keys Escape
gone 'Use List' || true
stop

# In the smallest terminal: Manual A chosen from the keyboard, an address
# too large refused, an address typed and saved.
start() {
    tmux -S "$socket" new-session -d -s tavrel -x 80 -y 24 \
        "cd '$work' && env TAVREL_CLOCK_FILE='$work/clock' XDG_CONFIG_HOME='$work/xdg' XDG_RUNTIME_DIR='$work' \
         TERM=screen-256color ./tavrel; echo ENDED; sleep 60"
    check "the program starts" "wait_for Ready"
}
text_at() { dd if="$work/vIvod.dat" bs=1 skip=$((8 + $1)) count="$2" 2>/dev/null | tr -d '\0'; }
start
open_options
check "Options opens on the Servers page at 80x24" "shows 'Use List'"
keys Tab Tab Tab Tab Tab Space  # the other tabs, Use List, Manual A
check "Manual A is chosen and Use List cleared" "wait_for '(\\*) Manual A' && shows '( ) Use List'"
keys Tab Tab 3 0 0 . 1 . 2 . 3  # Manual B, then Manual A's address
check "300.1.2.3 is refused with a message" "wait_for '300 is not a valid entry'"
keys Enter
check "the message closes" "gone 'not a valid entry'"
keys BTab Tab 1 2 7 . 1 . 2 . 3
check "the address shows as typed" "wait_for '127\\.1\\.2\\.3'"
keys Enter
check "OK closes the sheet" "gone 'Use List'"
check "Manual A is saved as the source" "[ \"\$(byte 120)\" = 1 ]"
check "and its address as typed" "[ \"\$(text_at 24 32)\" = 127.1.2.3 ]"
stop

report "terminal options"

#!/usr/bin/env bash
# The terminal window used as a person uses a terminal program, in a real
# terminal (tmux, as an xterm): focus that shows, one click as one press,
# Enter on the focused button, a menu that leaves the clock running, a
# terminal too small, the editor from $EDITOR, Help's read-me as text in the
# pager from $PAGER, "/s", a second copy, Ctrl-C, and closing the terminal
# while a menu is open.
# Usage: terminal_keys.sh PROGRAM
set -euo pipefail
program=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/checks.sh
source "$here/../support/checks.sh"
work=$(mktemp -d)
socket="$work/tmux.sock"
trap 'tmux -S "$socket" kill-server 2>/dev/null || true; sleep 0.2; rm -rf "$work"' EXIT
# shellcheck source=../support/tmux_screen.sh
source "$here/../support/tmux_screen.sh"
TMUX_KEY_PAUSE=0.2

byte() { od -An -tu1 -j $((8 + $1)) -N1 "$work/vIvod.dat" | tr -d ' '; }
run_env() {
    echo "env -u DISPLAY -u WAYLAND_DISPLAY TAVREL_CLOCK_FILE='$work/clock' XDG_CONFIG_HOME='$work/xdg' \
          XDG_RUNTIME_DIR='$work' EDITOR='$work/editor' PAGER='$work/pager'"
}
start() {
    tmux -S "$socket" new-session -d -s tavrel -x 100 -y 30 \
        "cd '$work' && $(run_env) TERM=xterm-256color ./tavrel $*; echo \"ENDED \$?\"; sleep 60"
}
program_pid() {
    local shell
    shell=$(tmux -S "$socket" list-panes -t tavrel -F '#{pane_pid}')
    pgrep -P "$shell" -x tavrel | head -1
}
clock() { screen | grep -o '[0-9][0-9]:[0-9][0-9]:[0-9][0-9]' | head -1; }

cp "$program" "$work/tavrel"
printf '127.0.0.1\r\n' > "$work/ServFile.txt"
# The editor notes what it was given and puts a new server first in it.
printf '#!/bin/sh\necho "$1" > "%s/edited"\nprintf "edited.example\\r\\n127.0.0.1\\r\\n" > "$1"\n' "$work" \
    > "$work/editor"
# The pager keeps a copy of what it was given to show.
printf '#!/bin/sh\ncp "$1" "%s/paged.new" && mv "%s/paged.new" "%s/paged"\n' "$work" "$work" "$work" > "$work/pager"
chmod +x "$work/editor" "$work/pager"
# The read-me beside the program, as the build lays it out.
cp "$(dirname "$program")/ReadMe.htm" "$(dirname "$program")/ReadMe.txt" "$work/"

start
check "shows Ready" "wait_for Ready"
buttons() { screen_styled | grep 'Correct'; }
before=$(buttons)
keys Tab
check "the focus shows: the buttons' look follows it" "[ \"\$(buttons)\" != \"\$before\" ]"
check "the focused button's tooltip shows" "wait_for 'Check the time and change it'"
keys BTab

keys h
check "H opens the History view" "wait_for 'Clock History' && shows 'Offset (ms): no replies in this span'"
keys Escape
check "no longer shows Clock History" "gone 'Clock History'"

keys F10
check "shows Sync Now" "wait_for 'Sync Now'"
first=$(clock)
check "the clock goes on while the menu is open" "poll 10 bash -c '[ \"\$(tmux -S $socket capture-pane -t tavrel -p | grep -o \"[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\" | head -1)\" != \"$first\" ]' && shows 'Sync Now'"
keys Escape
check "no longer shows Sync Now" "gone 'Sync Now'"

# One click ticks a box once; the next key does not untick it.
click Options
check "a click on Options opens the sheet" "wait_for 'Servers     Auto'"
click Misc
check "shows No Log" "wait_for 'No Log'"
click 'On Top'
check "one click ticks On Top" "wait_for '\\[x\\] On Top'"
keys Tab
check "the next key moves the focus on" "wait_for 'internal time server'"
check "and leaves On Top ticked" "shows '\\[x\\] On Top'"
click '    OK  '
check "a click on OK closes the sheet" "gone 'No Log'"
check "On Top is saved" "[ \"\$(byte 96)\" = 1 ]"

# Enter on the focused No answers No.
click Options
check "shows Servers     Auto" "wait_for 'Servers     Auto'"
click Misc
check "shows No Log" "wait_for 'No Log'"
click Reset
check "Reset asks first" "wait_for 'Reset to default all settings?'"
# It opens on "No": a stray Enter changes nothing.
keys Enter
check "the question closes" "gone 'Reset to default all settings?'"
check "a stray Enter answers No and keeps every setting" "[ \"\$(byte 96)\" = 1 ] && shows 'No Log'"

# An editor in the terminal when there is no desktop.
click 'Servers'
check "shows Edit List" "wait_for 'Edit List'"
click 'Edit List'
check "Edit List runs \$EDITOR on the server list" "poll 30 grep -q ServFile.txt '$work/edited'"
check "the sheet comes back after the editor" "wait_for 'Edit List'"
check "and its list is read again" "wait_for edited.example"
keys Escape
check "no longer shows Edit List" "gone 'Edit List'"

# Help in a terminal: the pager shows the read-me as text, not its HTML.
keys F10
check "the menu opens" "wait_for 'Sync Now'"
keys Down Enter
check "Help runs \$PAGER on the read-me" "poll 30 test -s '$work/paged'"
check "the pager is given text: no tags, the title first" \
      "! grep -q '<[A-Za-z/!]' '$work/paged' && head -1 '$work/paged' | grep -q '^Tavrel '"
check "the window comes back after the pager" "wait_for Correct"

tmux -S "$socket" resize-window -t tavrel -x 60 -y 20
check "a 60x20 terminal asks to be enlarged" "wait_for 'Enlarge the terminal to'"
tmux -S "$socket" resize-window -t tavrel -x 100 -y 30
check "at 100x30 the window is back" "wait_for Correct"

# The second copy in a terminal of its own (script's), as a user starts it.
# It says so at once, while it still waits for the first to end.
(cd "$work" && eval "$(run_env)" timeout 60 script -qec ./tavrel /dev/null </dev/null >"$work/second" 2>&1) &
second=$!
check "a second copy says it is already running at once" "poll 30 grep -qs 'Tavrel is already running' '$work/second'"
check "while it still waits" "kill -0 $second 2>/dev/null"
check "then it ends with status 1 (it did not start)" "wait $second; [ \$? -eq 1 ]"
check "having said only that" "[ \"\$(tr -d '\r' < '$work/second')\" = 'Tavrel is already running' ]"

# Ctrl-C in a dialog cancels that dialog; the program goes on.
keys F10
check "the menu opens on About" "wait_for 'Sync Now'"
keys Enter
check "About opens" "wait_for 'About Tavrel'"
keys C-c
check "Ctrl-C closes About" "gone 'About Tavrel'"
check "and the program keeps running" "shows Correct && ! shows 'ENDED'"

rm -f "$work/vIvod.dat"
keys C-c
check "Ctrl-C ends the program with status 0" "wait_for 'ENDED 0'"
check "Ctrl-C saves the settings" "[ \$(stat -c %s '$work/vIvod.dat') = 508 ]"
end_session

start /s
check "\"/s\" shows the stand-in entry, not a blank terminal" "wait_for '\\(◷\\|@\\) Tavrel' && ! shows Correct"
keys Enter
check "Enter on the stand-in restores the window" "wait_for Correct"

keys F10
check "shows Sync Now" "wait_for 'Sync Now'"
pid=$(program_pid)
rm -f "$work/vIvod.dat"
end_session
check "closing the terminal with the menu open ends the program" "poll 20 bash -c '! kill -0 $pid 2>/dev/null'"
check "and saves the settings" "[ -f '$work/vIvod.dat' ] && [ \$(stat -c %s '$work/vIvod.dat') = 508 ]"

report "terminal keys"

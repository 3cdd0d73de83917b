# shellcheck shell=bash
# Reading and typing into the program's tmux session "tavrel" on the socket
# in $socket. Needs checks.sh for poll. TMUX_KEY_PAUSE (seconds) is waited
# after each batch of keys.

# The program in tmux is the terminal window, even where the tests run on a
# desktop.
unset DISPLAY WAYLAND_DISPLAY

screen() { tmux -S "$socket" capture-pane -t tavrel -p; }
shows() { screen | grep -q -- "$1"; }
hides() { ! shows "$1"; }
# Polls the screen for a text to appear (or go), up to 30 s.
wait_for() { poll 30 shows "$1"; }
gone() { poll 30 hides "$1"; }
keys() {
    tmux -S "$socket" send-keys -t tavrel "$@"
    sleep "${TMUX_KEY_PAUSE:-0}"
}
CHECK_ON_FAIL=screen
# Ends the session and its server before the next one starts: killing the
# last session leaves a server that is still exiting on the socket, and a
# new session that reaches it fails with "server exited unexpectedly".
end_session() {
    tmux -S "$socket" kill-server 2>/dev/null || true
    rm -f "$socket"
}
# The screen with its colours and attributes as escape sequences.
screen_styled() { tmux -S "$socket" capture-pane -t tavrel -p -e; }
# Clicks the left button (a press, then its release, as SGR mouse reports
# of an xterm) on the first cell showing TEXT.
click() {
    local at
    at=$(screen | python3 -c '
import sys
text = sys.argv[1]
for y, line in enumerate(sys.stdin.read().split("\n")):
    x = line.find(text)
    if x >= 0:
        print(x + 1, y + 1)
        break' "$1")
    [ -n "$at" ] || return 1
    # shellcheck disable=SC2086
    set -- $at
    tmux -S "$socket" send-keys -t tavrel -l $'\e[<0;'"$1;$2M"
    tmux -S "$socket" send-keys -t tavrel -l $'\e[<0;'"$1;$2m"
    sleep "${TMUX_KEY_PAUSE:-0}"
}

#!/usr/bin/env bash
# Tavrel.exe under Wine on a virtual X screen, driven as a user would with
# the keyboard and the mouse (xdotool): the main window shows its controls,
# Enter checks the time against a local RFC 868 service (xinetd, in a
# private network namespace), the Options sheet opens, drops down its
# Protocol list and a date picker's calendar, asks its Reset question
# (answered No) and closes, each of these drawn on the screen; its Scan
# measures the server by TIME and by SNTP (chronyd), the time-zone dialog
# and About open and close, and Escape ends the program, which saves its
# settings. Screenshots of every window shown go to ARTIFACTS.
# Usage: gui_smoke.sh BUILD_DIR ARTIFACTS
set -euo pipefail
if [ "${TAVREL_WINE_NETNS:-}" != 1 ]; then
    # The peers are unpacked (downloaded once) while the network is still there.
    bash "$(dirname "$0")/../support/peers.sh" peers_install
    exec unshare -m -n env TAVREL_WINE_NETNS=1 bash "$0" "$@"
fi
build=$(realpath "$1")
mkdir -p "$2"
artifacts=$(realpath "$2")
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
peers_start_time37
peers_start_chrony

xvfb=""
cleanup() {
    [ -f "$work/probe.err" ] && tail -5 "$work/probe.err"
    wine_program_stop
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
    peers_stop
}
trap cleanup EXIT

# A virtual screen of its own: Xvfb picks a free display number.
display_file=$(mktemp)
Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp 5>"$display_file" >/dev/null 2>&1 &
xvfb=$!
poll 30 test -s "$display_file"
DISPLAY=:$(head -n1 "$display_file")
export DISPLAY
rm -f "$display_file"

wine_program_start
# The screen as the X server holds it, read from the root window in one
# piece. (xwd -root pieces the picture together from the windows: one that
# lies wholly inside another window of the same visual and colormap is read
# from that lower window, whose part under it comes out black. The Options
# sheet's drop-down lists, calendars and question boxes looked black in its
# pictures while the screen showed them drawn.)
screenshot() { import -silent -window root "png:$artifacts/$1"; }
# A probe started while Wine is busy now and then comes back with nothing:
# the controls are read again until they are there.
save_controls_once() { probe controls "$1" > "$artifacts/$2" && [ -s "$artifacts/$2" ]; }
save_controls() { poll 30 save_controls_once "$@" || true; }
CHECK_ON_FAIL=failure_screen
failure_screen() { screenshot "failure-$failed.png" || true; }

# A virtual desktop gives the windows captions, a taskbar and a notification
# area, as on Windows.
(cd "$work/program" && exec wine explorer /desktop=tavrel,1024x768 Tavrel.exe </dev/null >"$work/explorer.out" 2>&1) &

check "the main window shows" "probe find TAVREL 120 > '$work/main-rect'"
if [ "$failed" -ne 0 ]; then
    report "Tavrel.exe window under Wine"
    exit 1
fi
sleep 1  # let the first paint finish before the picture
save_controls TAVREL main-window-controls.txt
screenshot main-window.png
for text in Check Correct Options "Time Zone" About "Not Checked Yet"; do
    check "the main window has \"$text\"" "tr -d '&' < '$artifacts/main-window-controls.txt' | grep -q ' $text\$'"
done

# Keys go to the window under the pointer (no window manager runs), and a
# click on the caption makes Tavrel the active window of the desktop.
read -r left top right _ < "$work/main-rect"
xdotool mousemove $(((left + right) / 2)) $((top + 8)) click 1
sleep 0.5
xdotool key Return
server_id=$(awk '/ Not Checked Yet$/ { print $1; exit }' "$artifacts/main-window-controls.txt")
check "Enter checks the time: the server's clock shows" \
    "probe wait-text TAVREL ${server_id:-0} 'Not Checked Yet' 60 > '$work/server-text'"
check "the server's clock is a time of day ($(head -n1 "$work/server-text" 2>/dev/null))" \
    "grep -Eq '^[0-9]{1,2}:[0-9]{2}:[0-9]{2}' '$work/server-text'"
check "the status reports a difference" "probe wait-text TAVREL 1000 Ready 30 | grep -q 'Difference found'"
# The simulated clock runs 100 s ahead: the server's time shown is about
# 100 s behind the computer's (whole seconds, read a moment apart).
seconds_of() { awk -F: 'NR == 1 { print $1 * 3600 + $2 * 60 + $3 }'; }
behind=$(( ($(probe text TAVREL 1029 | seconds_of) - $(seconds_of < "$work/server-text") + 86400) % 86400 ))
check "the server's clock is 100 s behind the simulated one (${behind} s)" "[ $behind -ge 97 ] && [ $behind -le 104 ]"

# Correct sets the (simulated) clock and tells every window so.
(cd "$work/program" && PROBE_DESKTOP=tavrel exec wine window_probe.exe timechange 90 </dev/null \
    >/dev/null 2>>"$work/probe.err") &
listener=$!
check "a window listens for clock changes" "probe find 'Time change listener' 60 >/dev/null"
check "Correct runs" "read -r x y < <(probe center TAVREL 3) && xdotool mousemove \$x \$y click 1"
check "setting the clock tells the other windows (WM_TIMECHANGE)" "wait $listener"
corrected() { probe text TAVREL 1000 | grep -q 'Time Corrected'; }
check "the status reports the correction" "poll 30 corrected"

# The History view, from the menu (a right click): the Check and the
# Correct above are in it, drawn as line charts.
read -r left top right _ < "$work/main-rect"
xdotool mousemove $(((left + right) / 2)) $((top + 60)) click 3
sleep 1
xdotool key Down Down Down Return
check "the menu's History opens the History view" "probe find 'Clock History' 60 >/dev/null"
sleep 1
save_controls 'Clock History' history-controls.txt
screenshot history.png
check "the History view gives the round trip's figures" "grep -q 'Round trip (ms): min [0-9]' '$artifacts/history-controls.txt'"
xdotool key Escape
check "Escape closes the History view" "probe gone 'Clock History' 30"

# A click lands only once the main window takes input again.
click_control() {  # WINDOW ID
    local x y
    probe enabled "$1" 30 || return 1
    read -r x y < <(probe center "$1" "$2") || return 1
    xdotool mousemove "$x" "$y" click 1
}
# Clicks WINDOW's control ID until a window titled SHOWS appears: under a
# busy Wine the first click now and then reaches the window before it has
# taken input back (a second click on a window that has opened the dialog
# goes nowhere, as its owner is disabled then).
click_opens() {  # WINDOW ID SHOWS
    local attempt
    for attempt in 1 2 3; do
        click_control "$1" "$2" && probe find "$3" 20 >/dev/null && return 0
    done
    return 1
}
check "Options opens the sheet" "click_opens TAVREL 101 'Tavrel 1.5'"
sleep 1
save_controls "Tavrel 1.5" options-sheet-controls.txt
screenshot options-sheet.png
check "the sheet has its tabs" "grep -q ' SysTabControl32 ' '$artifacts/options-sheet-controls.txt'"
for text in OK Cancel "Use List" "Edit List"; do
    check "the sheet shows \"$text\"" "tr -d '&' < '$artifacts/options-sheet-controls.txt' | grep -q ' shown $text\$'"
done

# The sheet's popups, each a window of its own over the sheet: the Protocol
# list, a date picker's calendar and the question Reset asks. Wine draws
# them on white or the dialog colour, so the picture of a popup drawn is
# mostly light; one left undrawn, or pictured wrongly, is black.
control_rect() {  # WINDOW ID: "x y width height" of the shown control
    probe controls "$1" | awk -v id="$2" '$1 == id && $7 == "shown" { print $3, $4, $5, $6; f = 1; exit } END { exit !f }'
}
light_in() {  # PICTURE LEFT TOP RIGHT BOTTOM
    screenshot "$1" || return 1
    [ "$(convert "$artifacts/$1" -crop "$(($4 - $2))x$(($5 - $3))+$2+$3" -format '%[fx:mean > 0.5]' info:)" = 1 ]
}
# Waits for the picture of the screen to show the popup (a window as probe
# finds it) drawn; the last picture taken stays as PICTURE.
popup_drawn() {  # PICTURE TITLE [TEXT]
    local rect
    rect=$(probe find "$2" 20 "${@:3}") || return 1
    # shellcheck disable=SC2086  # the rect's four numbers
    poll 30 light_in "$1" $rect
}
# A page of the sheet, chosen on its tabs from the keyboard: a click on the
# first tab, then Right as often as asked; ID is a control of that page.
sheet_page() {  # RIGHTS ID
    local x y width height i
    read -r x y width height < <(control_rect 'Tavrel 1.5' 32752) || return 1
    xdotool mousemove $((x + 20)) $((y + 10)) click 1
    for ((i = 0; i < $1; i++)); do xdotool key Right; done
    poll 30 control_rect 'Tavrel 1.5' "$2" >/dev/null
}
check "the Protocol list drops down" "click_control 'Tavrel 1.5' 1013 && probe find ComboLBox 20 >/dev/null"
check "the Protocol list is drawn" "popup_drawn protocol-list.png ComboLBox"
xdotool key Escape
check "Escape closes the list and leaves the sheet" "probe gone ComboLBox 20 && probe find 'Tavrel 1.5' 5 >/dev/null"

# The date range is off in the test's settings: Enable lets the pickers
# open, and Enable once more turns it off again.
check "the System page shows" "sheet_page 2 1011"
check "a click reaches Enable" "click_control 'Tavrel 1.5' 1030"
# The calendar drops down from the button at the picker's right end (once
# the picker takes input after Enable), and that button closes it again
# (under Wine, Escape closes the calendar only now and then).
picker_button() {
    local x y width height
    read -r x y width height < <(control_rect 'Tavrel 1.5' 1011) || return 1
    xdotool mousemove $((x + width - 8)) $((y + height / 2)) click 1
}
open_calendar() {
    for _ in 1 2 3; do
        picker_button && probe find SysMonthCal32 10 >/dev/null && return 0
    done
    return 1
}
check "the date picker's calendar drops down" "open_calendar"
check "the calendar is drawn" "popup_drawn calendar.png SysMonthCal32"
check "the picker's button closes the calendar and leaves the sheet" \
    "picker_button && probe gone SysMonthCal32 20 && probe find 'Tavrel 1.5' 5 >/dev/null"
check "a click reaches Enable again" "click_control 'Tavrel 1.5' 1030"

# The question has the sheet's caption; its text tells it apart. It is
# answered No (Escape), so the settings stay as they are.
question='Reset to default all settings?'
check "the Misc page shows" "sheet_page 3 7"
check "Reset asks first" "click_control 'Tavrel 1.5' 7 && probe find 'Tavrel 1.5' 20 '$question' >/dev/null"
check "the question is drawn" "popup_drawn reset-question.png 'Tavrel 1.5' '$question'"
# Keys go to the window under the pointer: onto the question first.
answer_no() {
    local left top
    read -r left top _ < <(probe find 'Tavrel 1.5' 5 "$question") || return 1
    xdotool mousemove $((left + 10)) $((top + 40)) key Escape
    probe gone 'Tavrel 1.5' 20 "$question" && probe find 'Tavrel 1.5' 5 >/dev/null
}
check "Escape answers No: the question goes, the sheet stays" answer_no
xdotool key Escape
check "Escape closes the sheet" "probe gone 'Tavrel 1.5' 30"
check "the main window stays" "probe find TAVREL 5 >/dev/null"

# Scan, from the sheet opened again: the "SyncScan" list view measures the
# one listed server (xinetd and chronyd) and says when it has finished.
check "Options opens the sheet again" "click_opens TAVREL 101 'Tavrel 1.5'"
check "Scan opens the scan window" "click_control 'Tavrel 1.5' 1028 && probe find SyncScan 60 >/dev/null"
check "the scan finishes" "probe find 'Scan Servers - Finished' 120 >/dev/null"
scan_is_list_view() {
    save_controls SyncScan scan-controls.txt
    grep -q ' SysListView32 ' "$artifacts/scan-controls.txt"
}
check "the scan window is a list view" "poll 30 scan_is_list_view"
screenshot scan.png
# The scan window takes input while the sheet it was opened from is open.
check "\"Sort by response\" can be clicked" "click_control SyncScan 3 && poll 30 test -f '$work/program/ServFile.bak'"
check "and the list is rewritten with its server" "grep -q '^127\\.0\\.0\\.1' '$work/program/ServFile.txt'"
check "Cancel closes the sheet and the scan with it" \
    "click_control 'Tavrel 1.5' 2 && probe gone 'Tavrel 1.5' 30 && probe gone SyncScan 30"

# The keyboard in the sheet: Tab to the source buttons, Down to Manual A and
# Space to choose it, Tab to its address; a number above 255 is refused
# with a message, the address typed is saved as typed.
focus_of() { probe focus "$1"; }
focus_left() { [ "$(focus_of "$1")" != "$2" ]; }
focus_is() { [ "$(focus_of "$1")" = "$2" ]; }
text_is() { [ "$(probe text "$1" "$2")" = "$3" ]; }
key_moving_focus() {  # WINDOW KEY: the key, then wait until the focus moves
    local before
    before=$(focus_of "$1")
    xdotool key "$2"
    poll 10 focus_left "$1" "$before"
}
tab_to() {  # WINDOW ID
    local tries
    for tries in $(seq 1 25); do
        [ "$(focus_of "$1")" = "$2" ] && return 0
        key_moving_focus "$1" Tab || return 1
    done
    return 1
}
sheet='Tavrel 1.5'
check "Options opens the sheet for the keyboard" "click_opens TAVREL 101 '$sheet'"
check "Tab reaches the source buttons (Use List)" "tab_to '$sheet' 1035"
# As in Windows' own sheets: from the tabs Tab goes to the page, and after
# the page to OK and Cancel.
tab_from_tabs() {
    tab_to "$sheet" 32752 || return 1  # the tab control
    key_moving_focus "$sheet" Tab && [ "$(focus_of "$sheet")" != 1 ] && [ "$(focus_of "$sheet")" != 2 ]
}
check "Tab from the tabs goes to the page, not to OK" "tab_from_tabs && tab_to '$sheet' 1035"
check "Down moves to Manual A" "key_moving_focus '$sheet' Down && focus_is '$sheet' 1036"
xdotool key space
check "Space chooses Manual A: Tab reaches its address" "tab_to '$sheet' 1007"
xdotool type --delay 100 300
check "300 in an address is refused with a message" "probe find 'Invalid Entry' 30 >/dev/null"
screenshot address-refused.png
xdotool key Return
check "the message closes" "probe gone 'Invalid Entry' 30"
check "the refused number's field keeps the focus" "poll 10 focus_is '$sheet' 1007"
# Text in a settings box, never asked. After three digits the address
# control moves on to the next field by itself, its old number not selected
# (a dot moves on with it selected), so that number is selected first.
xdotool type --delay 100 127
xdotool key shift+End
xdotool type --delay 100 1.2.3
check "the address shows as typed" "poll 10 text_is '$sheet' 1007 127.1.2.3"
xdotool key Return
check "Enter is OK: the sheet closes" "probe gone '$sheet' 30"

# The time zone dialog and the About page: each opens from its button, shows
# its template's controls, and Enter (its default OK) closes it.
open_dialog() {  # BUTTON CAPTION PICTURE
    local x y
    read -r x y < <(probe center TAVREL "$1") || return 1
    xdotool mousemove "$x" "$y" click 1
    probe find "$2" 60 >/dev/null || return 1
    sleep 1
    save_controls "$2" "$3-controls.txt"
    screenshot "$3.png"
}
check "Time Zone opens its dialog" "open_dialog 1001 'Time Zone' time-zone"
check "the dialog shows the lock" "tr -d '&' < '$artifacts/time-zone-controls.txt' | grep -q ' shown Lock this Time Zone\$'"
xdotool key Return
check "Enter closes it" "probe gone 'Time Zone' 30"
check "About opens its page" "open_dialog 5 'About Tavrel' about"
xdotool key Return
check "Enter closes it" "probe gone 'About Tavrel' 30"
# The buttons have access keys: Alt and About's A opens it.
check "the buttons show access keys" "probe controls TAVREL | grep -q ' &About\$'"
check "Alt+A opens About" "probe enabled TAVREL 30 && xdotool key alt+a && probe find 'About Tavrel' 30 >/dev/null"
xdotool key Return
check "and Enter closes it" "probe gone 'About Tavrel' 30"

# The keyboard after a Correct pressed by Enter: the Correct button is
# greyed while it runs and has the focus again afterwards, and Tab and
# Escape still act.
history_rows() { [ -f "$work/program/History.csv" ] && grep -c . "$work/program/History.csv" || echo 0; }
more_rows() { [ "$(history_rows)" -gt "$1" ]; }
read -r left top right _ < "$work/main-rect"
xdotool mousemove $(((left + right) / 2)) $((top + 8)) click 1
check "Tab reaches Correct" "tab_to TAVREL 3"
rows=$(history_rows)
xdotool key Return
check "Enter on Correct corrects the clock again" "poll 60 more_rows $rows"
check "the focus is back on Correct" "poll 30 focus_is TAVREL 3"
check "Tab still moves the focus" "key_moving_focus TAVREL Tab"

xdotool key Escape
check "Escape on the main window ends the program" "probe gone TAVREL 60"
byte() { od -An -tu1 -j $((8 + $1)) -N1 "$work/program/vIvod.dat" | tr -d ' '; }
text_at() { dd if="$work/program/vIvod.dat" bs=1 skip=$((8 + $1)) count="$2" 2>/dev/null | tr -d '\0'; }
check "the settings saved hold Manual A as the source" "[ \"\$(byte 120)\" = 1 ]"
check "and its address as typed" "[ \"\$(text_at 24 32)\" = 127.1.2.3 ]"

report "Tavrel.exe window under Wine"

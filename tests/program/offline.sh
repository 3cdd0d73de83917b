#!/usr/bin/env bash
# The program on networks that fail, as a user meets them: a laptop that is
# offline (no route, a name server that refuses) running a Check with the
# shipped server list and default settings, and "/q" with a name server
# that never answers. Runs in mount and network namespaces of its own (its
# own resolv.conf; no traffic leaves).
# Usage: offline.sh PROGRAM
set -euo pipefail
if [ "${TAVREL_OFFLINE_NS:-}" != 1 ]; then
    if [ "$(id -u)" -eq 0 ]; then
        exec unshare -m -n env TAVREL_OFFLINE_NS=1 bash "$0" "$@"
    fi
    exec unshare -r -m -n env TAVREL_OFFLINE_NS=1 bash "$0" "$@"
fi
mount --make-rprivate /
program=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/checks.sh
source "$here/../support/checks.sh"
ip link set lo up
# shellcheck source=../support/names.sh
source "$(dirname "$0")/../support/names.sh"
names_own

work=$(mktemp -d)
running=""
cleanup() {
    [ -n "$running" ] && kill "$running" 2>/dev/null || true
    umount /etc/resolv.conf 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
export TAVREL_CLOCK_FILE="$work/clock" XDG_CONFIG_HOME="$work/xdg" XDG_RUNTIME_DIR="$work" TAVREL_HEADLESS=1

# Names are looked up at a closed port on loopback: every lookup fails at once.
printf 'nameserver 127.0.0.53\noptions timeout:15 attempts:2\n' > "$work/resolv.conf"
mount --bind "$work/resolv.conf" /etc/resolv.conf

# CPU time (user and system, in clock ticks) of a process.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
lines() { grep -c "$1" "$2" 2>/dev/null || true; }

# --- Offline, the shipped list (no ServFile.txt: it is written from the
# built-in one) and default settings: a Check, left running.
mkdir "$work/check"
cp "$program" "$work/check/tavrel"
printf 'older log lines\r\n' > "$work/check/dLogOld.txt"
printf 'time,action\r\nolder rows\r\n' > "$work/check/History.old.csv"
cp "$work/check/dLogOld.txt" "$work/check/dLogOld.before"
cp "$work/check/History.old.csv" "$work/check/History.old.before"
mkfifo "$work/check/in"
(cd "$work/check" && exec ./tavrel < in > out 2>&1) &
running=$!
exec 3>"$work/check/in"
poll 30 test -s "$work/check/ServFile.txt"
servers=$(grep -cv '^[[:space:]]*#' "$work/check/ServFile.txt" || true)
echo "command 1" >&3
check "the first round ends and the walk waits" \
    "poll 60 sh -c 'echo show 1000 >&3; grep -q \"No server answered; next try in\" \"$work/check/out\"'"
start_ticks=$(cpu_ticks "$running")
start_time=$(date +%s.%N)
# The second round comes 30 s after the first and says so in one line.
check "the second round says so in one line" \
    "poll 90 grep -q 'No response from any of the $servers servers, round 2; next try in 1 Mns' '$work/check/dLog.txt'"
used=$(( $(cpu_ticks "$running") - start_ticks ))
elapsed=$(awk -v a="$start_time" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')
share=$(awk -v t="$used" -v hz="$(getconf CLK_TCK)" -v e="$elapsed" 'BEGIN { printf "%.4f", t / hz / e }')
echo "offline Check: $servers servers listed; $(lines 'No response from' "$work/check/dLog.txt") lines logged, CPU share $share while it waits"
check "every server of the first round has a line, later rounds one each" \
    "[ $(lines 'No response from ' "$work/check/dLog.txt") -le $((servers + 2)) ]"
check "the history gains a row a try of the first round and one a later round" \
    "[ $(( $(wc -l < "$work/check/History.csv") - 1 )) -le $((servers + 2)) ]"
check "the program uses under 2% of a core while it waits" "awk -v s=$share 'BEGIN { exit !(s < 0.02) }'"
check "the old log and the old history are untouched" \
    "cmp -s '$work/check/dLogOld.txt' '$work/check/dLogOld.before' && cmp -s '$work/check/History.old.csv' '$work/check/History.old.before'"
: > "$work/check/out"
echo "command 1" >&3  # Abort
# At once: well inside the minute's pause, with room for a busy machine.
# "Aborting..." shows until the next pass (half a second) brings "Ready";
# a busy machine may answer "show" only after that, so either counts.
check "Abort ends the wait at once" \
    "poll 15 sh -c 'echo show 1000 >&3; grep -Eq \"1000: (Aborting[.][.][.]|Ready)\" \"$work/check/out\"'"
echo "close" >&3
exec 3>&-
check "the program ends when closed" "poll 30 sh -c '! kill -0 $running 2>/dev/null'"
running=""

# --- A name server that never answers: "/q" keeps its time-out (15 s by default) and
# does not wait for the lookup the system would go on with for 30 s.
python3 -c '
import socket, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.53", 53))
end = time.time() + 120
while time.time() < end:
    s.settimeout(1)
    try: s.recvfrom(512)
    except socket.timeout: pass
' &
silent=$!
sleep 0.5
mkdir "$work/quick"
cp "$program" "$work/quick/tavrel"
printf 'time.invalid-name.test\r\n' > "$work/quick/ServFile.txt"
begin=$(date +%s.%N)
status=0
(cd "$work/quick" && timeout 60 ./tavrel /q) 2> "$work/quick/err" || status=$?
took=$(awk -v a="$begin" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
echo "/q with a silent name server took $took s (status $status)"
check "/q with a silent name server says no server answered" "[ $status = 1 ]"
check "/q ends within its time-out, not the lookup's" "awk -v t=$took 'BEGIN { exit !(t < 20) }'"

# --- The window while its Check waits on names the silent name server
# never answers: the local clock runs on, second by second, and the window
# answers what it is asked meanwhile.
mkdir "$work/window"
cp "$program" "$work/window/tavrel"
printf 'first.invalid-name.test\r\nsecond.invalid-name.test\r\n' > "$work/window/ServFile.txt"
mkfifo "$work/window/in"
(cd "$work/window" && exec ./tavrel < in > out 2>&1) &
running=$!
exec 4>"$work/window/in"
window_out="$work/window/out"
# The distinct local times the window has shown.
clock_texts() { { grep -a '^1029: ' "$window_out" || true; } | sort -u | wc -l; }
check "the window starts" "poll 30 sh -c 'echo show 1000 >&4; grep -aq \"1000: Ready\" \"$window_out\"'"
echo "command 1" >&4
check "the Check waits on the first name" \
    "poll 30 sh -c 'echo show 1000 >&4; grep -aq \"1000: Creating Socket\" \"$window_out\"'"
shown_before=$(clock_texts)
check "the local clock shows three more seconds while the lookup hangs" \
    "poll 12 sh -c 'echo show 1029 >&4; [ \$(grep -a \"^1029: \" \"$window_out\" | sort -u | wc -l) -ge $((shown_before + 3)) ]'"
echo "show 1000" >&4
check "and the Check still waits on a name" \
    "poll 10 sh -c 'tail -n 1 \"$window_out\" | grep -aq \"^1000: \"' && tail -n 1 '$window_out' | grep -aq 'Creating Socket'"
echo "close" >&4
exec 4>&-
check "the window ends when closed" "poll 30 sh -c '! kill -0 $running 2>/dev/null'"
running=""
kill "$silent" 2>/dev/null || true

# --- A listed name that holds escape sequences (a window title, a bell):
# what /q says of it and what it logs carry them as text, not as escapes
# the terminal or the journal would act on. The name server refuses, so
# the lookup fails at once.
mkdir "$work/escapes"
cp "$program" "$work/escapes/tavrel"
printf 'evil\033]0;title\007.test\r\n' > "$work/escapes/ServFile.txt"
status=0
(cd "$work/escapes" && timeout 60 ./tavrel /q) 2> "$work/escapes/err" || status=$?
check "/q with that name says no server answered" "[ $status = 1 ]"
check "/q names the server with its escapes written out" "grep -qF 'evil\\x1B]0;title\\x07.test' '$work/escapes/err'"
check "and so does the log" "grep -qF 'evil\\x1B]0;title\\x07.test' '$work/escapes/dLog.txt'"
check "neither holds an escape character" "! grep -q \$'\\033' '$work/escapes/err' '$work/escapes/dLog.txt'"

report "offline"

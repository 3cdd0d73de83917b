#!/usr/bin/env bash
# The service on a laptop, as the real program: a wake (told through the
# events FIFO, as logind would tell it) makes it correct the clock again
# against chronyd within 60 s; another program that sets the (simulated)
# clock is logged and kept in the History, and the service's own SNTP
# server then says its clock is unsynchronised (stratum 16, leap 3) though
# the system calls it kept. Runs in a private network namespace.
# Usage: laptop_service.sh PROGRAM
set -euo pipefail
if [ "${TAVREL_LAPTOP_NS:-}" != 1 ]; then
    bash "$(dirname "$0")/../support/peers.sh" peers_install
    exec unshare -m -n env TAVREL_LAPTOP_NS=1 bash "$0" "$@"
fi
program=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/checks.sh
source "$here/../support/checks.sh"
# shellcheck source=../support/peers.sh
source "$here/../support/peers.sh"
peers_require chronyd
ip link set lo up
# shellcheck source=../support/names.sh
source "$here/../support/names.sh"
names_own

work=$(mktemp -d)
service=""
cleanup() {
    [ -n "$service" ] && kill "$service" 2>/dev/null || true
    peers_stop || true
    rm -rf "$work"
}
trap cleanup EXIT
CHECK_ON_FAIL=show_files
show_files() { ls -R "$work" | head -40; tail -3 "$work/History.csv" 2>/dev/null || true; tail -5 "$work/service.err" 2>/dev/null || true; }
state=$work  # the data folder of a program copied to a folder of its own
mkdir -p "$work/xdg"
export TAVREL_CLOCK_FILE="$work/clock" XDG_CONFIG_HOME="$work/xdg" XDG_RUNTIME_DIR="$work" \
    TAVREL_EVENTS_FIFO="$work/events"
unset NOTIFY_SOCKET
mkfifo "$work/events"
cp "$program" "$work/tavrel"
printf '127.0.0.1\r\n' > "$state/ServFile.txt"
settings() {  # the settings record, SNTP; $1: the time servers on (1) or off (0)
    { printf 'SYNC1400'; head -c 500 /dev/zero; } > "$state/vIvod.dat"
    printf '\001' | dd of="$state/vIvod.dat" bs=1 seek=$((8 + 116)) conv=notrunc status=none
    printf "\\00$1" | dd of="$state/vIvod.dat" bs=1 seek=$((8 + 124)) conv=notrunc status=none
}
start_service() {
    (cd "$work" && exec ./tavrel /x < /dev/null > "$work/service.out" 2> "$work/service.err") &
    service=$!
}
stop_service() {
    kill -TERM "$service" 2>/dev/null || true
    wait "$service" 2>/dev/null || true
    service=""
}
corrections_at_least() {  # the History holds $1 good Corrects or more
    local n
    n=$(grep -c ',Correct,.*,Corrected,' "$state/History.csv" 2>/dev/null) || n=0
    [ "$n" -ge "$1" ]
}
served_synchronised() { local s; s=$(served); [ "$s" != none ] && [ "${s#* }" != 16 ]; }
served_unsynchronised() { [ "$(served)" = "3 16" ]; }
# What the service's SNTP server says of its clock: "LEAP STRATUM".
served() {
    python3 - <<'PY'
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(1)
try:
    s.sendto(b'\x23' + bytes(47), ('127.0.0.1', 123))
    d = s.recv(100)
    print(d[0] >> 6, d[1])
except OSError:
    print("none")
PY
}

# --- A wake: the service corrects again, against chronyd.
peers_start_chrony >/dev/null
echo 0 > "$work/clock"
settings 0
start_service
check "the service's first Correct" "poll 30 corrections_at_least 1"
echo resumed > "$work/events"
check "a wake brings a second Correct within 60 s" "poll 60 corrections_at_least 2"
stop_service
peers_stop

# --- Another program sets the clock while the service serves.
echo 0 > "$work/clock"
echo "1 1000 500" > "$work/clock.sync"  # the system calls the clock kept
settings 1
start_service
check "the service serves its clock as synchronised" "poll 30 served_synchronised"
# As another program writes the simulated clock: an hour and a fifth of a second on.
echo 36002000000 > "$work/clock.new"
mv "$work/clock.new" "$work/clock"
check "the log says who set the clock" \
    "poll 20 grep -q 'The clock was set by another program: +3600.2 s' '$work/service.err'"
check "the History keeps it" "poll 10 grep -Eq ',Other program,.*,Clock set,3600\\.(19|20)' '$state/History.csv'"
check "the served clock is unsynchronised: stratum 16, leap 3 ($(served))" "poll 10 served_unsynchronised"
stop_service
check "no step of its own was taken for another's" "[ \$(grep -c 'set by another program' '$work/service.err') -eq 1 ]"
report "laptop service"

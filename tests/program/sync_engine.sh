#!/usr/bin/env bash
# The sync engine as a user meets it, on the program's real threads, in a
# private network namespace with the simulated clock: Check, Abort and Check
# again against a silent server; a time-out while the window is minimised;
# "/q" with its exit statuses and lines; the minutes-only correction against
# chronyd.
# Usage: sync_engine.sh PROGRAM   (SYNC_CYCLES sets the Check/Abort rounds)
set -euo pipefail
if [ "${TAVREL_SYNC_NETNS:-}" != 1 ]; then
    # The peers are unpacked (downloaded once) while the network is still there.
    bash "$(dirname "$0")/../support/peers.sh" peers_install
    exec unshare -m -n env TAVREL_SYNC_NETNS=1 bash "$0" "$@"
fi
program=$(realpath "$1")
cycles=${SYNC_CYCLES:-5}
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/checks.sh
source "$here/../support/checks.sh"
ip link set lo up
# shellcheck source=../support/names.sh
source "$(dirname "$0")/../support/names.sh"
names_own
# A silent server: whatever is sent to 127.9.9.2 goes out of a tap link
# that nobody reads and is never answered (no reply, no refusal). Loopback
# keeps only 127.0.0.0/16 as its own, so that 127.9.9.0/24 can be the link's,
# and the link may carry loopback addresses.
ip route del local 127.0.0.0/8 dev lo table local
ip route add local 127.0.0.0/16 dev lo table local
ip tuntap add silent0 mode tap
sysctl -qw net.ipv4.conf.all.route_localnet=1 net.ipv4.conf.silent0.route_localnet=1
ip addr add 127.9.9.1/24 dev silent0
ip link set silent0 up
ip neigh add 127.9.9.2 lladdr 02:00:00:00:00:02 dev silent0 nud permanent
# shellcheck source=../support/peers.sh
source "$here/../support/peers.sh"
peers_stop_on_exit
peers_start_chrony

work=$(mktemp -d)
running=""
cleanup() {
    [ -n "$running" ] && kill -9 "$running" 2>/dev/null || true
    peers_stop
    rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME="$work/xdg" XDG_RUNTIME_DIR="$work"

# A data folder beside a copy of the program, with a settings file of zeros
# (every switch off) and the given server list.
make_folder() {
    mkdir -p "$1"
    cp "$program" "$1/tavrel"
    printf '%s' "$2" > "$1/ServFile.txt"
    { printf 'SYNC1400'; head -c 500 /dev/zero; } > "$1/vIvod.dat"
}
# Sets the 32-bit little-endian word at a record offset.
word() {
    local v=$3
    printf "$(printf '\\%03o\\%03o\\%03o\\%03o' $((v & 255)) $(((v >> 8) & 255)) $(((v >> 16) & 255)) $(((v >> 24) & 255)))" |
        dd of="$1/vIvod.dat" bs=1 seek=$((8 + $2)) conv=notrunc status=none
}
readonly PROTOCOL=116 DEFAULT_ONLY=16 TIMEOUT=140 MINOR=128 LOG_SYNCS=356 LOG_ERRORS=364
readonly RANGE_ON=168 RANGE_HIGH_UPPER=148 RANGE_LOW_UPPER=156

# --- The window program on the scripted backend -------------------------
start_window() {
    rm -f "$work/in" "$work/out"
    mkfifo "$work/in"
    (cd "$1" && TAVREL_HEADLESS=1 TAVREL_CLOCK_FILE="$work/clock" exec ./tavrel < "$work/in" > "$work/out" 2>&1) &
    running=$!
    exec 3>"$work/in"
}
say() { echo "$*" >&3; }
# The text control N showed last, asking afresh.
shown() {
    local before
    before=$(grep -c "^$1: " "$work/out" 2>/dev/null || true)
    say "show $1"
    poll 10 eval "[ \$(grep -c '^$1: ' '$work/out') -gt $before ]" || return 1
    grep "^$1: " "$work/out" | tail -n 1 | cut -d' ' -f2-
}
shows() { [ "$(shown "$1")" = "$2" ]; }
shows_prefix() { [[ "$(shown "$1")" == "$2"* ]]; }
ended() { ! kill -0 "$running" 2>/dev/null; }

folder=$work/cycles
make_folder "$folder" $'127.9.9.2\r\n'
word "$folder" $PROTOCOL 1
word "$folder" $DEFAULT_ONLY 1
word "$folder" $TIMEOUT 5   # the shortest the settings allow
word "$folder" $LOG_ERRORS 1
start_window "$folder"
frozen=""
for ((i = 1; i <= cycles; i++)); do
    say "command 1"
    sleep 0.3
    say "command 1"
    say "command 1"
    if ! poll 10 shows 1 Abort || ! poll 20 shows 1 Check ||
        ! shows_prefix 1000 "Unable to sync from 127.9.9.2"; then
        frozen=$i
        break
    fi
done
check "Check, Abort, Check: every operation ends (${frozen:+stuck in round $frozen of }$cycles rounds)" "[ -z '$frozen' ]"
say "command 2"
check "Exit ends the program after the rounds" "poll 10 ended"
exec 3>&-
running=""

# Minimised during a query to a silent server, the time-out still counts in
# seconds; restored during one, the clock runs again afterwards.
folder=$work/minimised
make_folder "$folder" $'127.9.9.2\r\n'
word "$folder" $PROTOCOL 1
word "$folder" $DEFAULT_ONLY 1
word "$folder" $TIMEOUT 5
start_window "$folder"
poll 10 shows 1000 Ready || true
say "command 1"
poll 10 shows 1 Abort || true
say "minimise"
started=$SECONDS
poll 30 shows_prefix 1000 "Unable to sync from" || true
took=$((SECONDS - started))
check "minimised, a 5-s time-out ends the query in time (took ${took} s)" "[ $took -le 8 ]"
say "restore"
say "command 1"
poll 10 shows 1 Abort || true
say "minimise"
say "restore"
poll 30 shows 1 Check || true
clock=$(shown 1029)
check "restored during an operation, the local clock runs on afterwards" \
    "poll 5 eval '[ \"\$(shown 1029)\" != \"$clock\" ]'"
say "command 2"
poll 10 ended || true
exec 3>&-
running=""

# --- "/q": a line per server tried, the outcome last, and the status -----
quick() {  # folder, then the clock file
    (cd "$1" && TAVREL_CLOCK_FILE=$2 timeout 120 ./tavrel /q 2> "$1/err") && status=0 || status=$?
}
offset_seconds() { awk '{ printf "%.4f", ($1 + 0) / 1e7 }' "$1"; }
within() { awk -v v="$1" -v a="$2" -v b="$3" 'BEGIN { exit !(v >= a && v <= b) }'; }

folder=$work/answered
make_folder "$folder" $'127.0.0.2\r\n127.9.9.2\r\n127.0.0.1\r\n'
word "$folder" $PROTOCOL 1
word "$folder" $TIMEOUT 5
word "$folder" $LOG_SYNCS 1
echo 50000000 > "$work/clock"
quick "$folder" "$work/clock"
check "/q exits 0 when the clock was corrected (got $status)" "[ $status = 0 ]"
check "/q names each server that failed" \
    "[ \"\$(head -n 2 '$folder/err')\" = \$'No response from 127.0.0.2 by SNTP\nNo response from 127.9.9.2 by SNTP' ]"
check "/q ends with the correction" "tail -n 1 '$folder/err' | grep -q '^Tavreled, .*Server used was 127.0.0.1\$'"
check "/q corrected the clock" "within $(offset_seconds "$work/clock") -0.05 0.05"

folder=$work/silent
make_folder "$folder" $'127.0.0.2\r\n127.9.9.2\r\n'
word "$folder" $PROTOCOL 1
word "$folder" $TIMEOUT 5
echo 50000000 > "$work/clock"
quick "$folder" "$work/clock"
check "/q exits 1 when no server answered (got $status)" "[ $status = 1 ]"
check "/q says it could not sync" "tail -n 1 '$folder/err' | grep -q '^Unable to sync from '"
check "/q left the clock alone" "within $(offset_seconds "$work/clock") 4.99 5.01"

folder=$work/refused
make_folder "$folder" $'127.0.0.1\r\n'
word "$folder" $PROTOCOL 1
word "$folder" $RANGE_ON 1
word "$folder" $RANGE_LOW_UPPER $((0x01C9E000))   # 2009
word "$folder" $RANGE_HIGH_UPPER $((0x01C9E400))
quick "$folder" "$work/clock"
check "/q exits 1 when every reply was refused (got $status)" "[ $status = 1 ]"
check "/q names the refused server" "grep -q '^No response from 127.0.0.1 by SNTP\$' '$folder/err'"

folder=$work/unsettable
make_folder "$folder" $'127.0.0.1\r\n'
word "$folder" $PROTOCOL 1
mkdir -p "$work/clockdir"   # a clock file that cannot be rewritten
quick "$folder" "$work/clockdir"
check "/q exits 2 when the clock could not be set (got $status)" "[ $status = 2 ]"
check "/q says so last" "tail -n 1 '$folder/err' | grep -q '^Error setting Time Change Privileges\$'"

# Minutes and seconds only: the server's minutes in the clock's hour, the
# hour before or the hour after, whichever changes the clock least; a clock
# 25 minutes behind is moved the 25 minutes, and the log gives the change
# made. One 35 minutes behind is moved 25 minutes back instead.
folder=$work/minor
make_folder "$folder" $'127.0.0.1\r\n'
word "$folder" $PROTOCOL 1
word "$folder" $MINOR 1
word "$folder" $LOG_SYNCS 1
word "$folder" 376 1   # logResponse
word "$folder" 380 1   # logCorrection
echo -15000000000 > "$work/clock"
quick "$folder" "$work/clock"
check "minutes-only moves a clock 25 minutes behind to the server's time" \
    "within $(offset_seconds "$work/clock") -0.05 0.05"
figure=$(sed -n 's/.*Time Corrected by \([-0-9.]*\) Scs.*/\1/p' "$folder/dLog.txt")
check "the log gives the change made (${figure:-none})" "[ -n '$figure' ] && within '$figure' 1499.9 1500.1"
rm -f "$folder/dLog.txt"
echo -21000000000 > "$work/clock"
quick "$folder" "$work/clock"
check "minutes-only moves a clock 35 minutes behind 25 minutes back" \
    "within $(offset_seconds "$work/clock") -3600.05 -3599.95"

report "sync engine"

#!/usr/bin/env bash
# Servers that disagree, against the real program (the window program,
# headless) in a private network namespace: chronyd and two scripted
# servers tell the truth, two scripted ones lie (100 s and 10 s ahead).
# An Average Correct ends within 10 ms of the truth and the log names both
# liars. Then, chronyd gone and the own servers on: a Check that finds the
# clock 0.9 s off is served with a root dispersion of at least 0.9 s, and
# the leap second the honest servers announce is served back.
# Usage: disagreeing_servers.sh PROGRAM FAKE_SNTP
set -euo pipefail
if [ "${TAVREL_DISAGREE_NETNS:-}" != 1 ]; then
    bash "$(dirname "$0")/../support/peers.sh" peers_install
    exec unshare -m -n env TAVREL_DISAGREE_NETNS=1 bash "$0" "$@"
fi
program=$(realpath "$1")
fake=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/checks.sh
source "$here/../support/checks.sh"
# shellcheck source=../support/peers.sh
source "$here/../support/peers.sh"
peers_require chronyd sntp
ip link set lo up
# shellcheck source=../support/names.sh
source "$here/../support/names.sh"
names_own

work=$(mktemp -d)
tavrel=""
fakes=()
cleanup() {
    [ -n "$tavrel" ] && kill "$tavrel" 2>/dev/null || true
    for pid in "${fakes[@]}"; do kill "$pid" 2>/dev/null || true; done
    peers_stop
    rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME="$work/xdg" XDG_RUNTIME_DIR="$work" TAVREL_HEADLESS=1
export TAVREL_CLOCK_FILE="$work/clock"
guard() { setpriv --bounding-set -sys_time -- "$@"; }
within() { awk -v v="$1" -v want="$2" -v limit="$3" 'BEGIN { exit !(v != "" && v - want <= limit && want - v <= limit) }'; }
offset_seconds() { awk '{ printf "%.6f", ($1 + 0) / 1e7 }' "$TAVREL_CLOCK_FILE"; }

# A scripted server on ADDRESS, OFFSET_MS off, waited for until it listens.
start_fake() {
    local out=$work/fake.$1
    "$fake" "$@" > "$out" 2>&1 &
    fakes+=($!)
    local end=$((SECONDS + 20))
    until grep -q ready "$out"; do [ "$SECONDS" -lt "$end" ] || return 1; sleep 0.1; done
}
# A settings record: SNTP, Average, errors and syncs logged; the time
# servers as asked.
settings_record() {
    {
        printf 'SYNC1400'
        head -c 500 /dev/zero
    } > "$work/vIvod.dat"
    poke() { printf '\001' | dd of="$work/vIvod.dat" bs=1 seek=$((8 + $1)) conv=notrunc status=none; }
    poke 92    # Average
    poke 116   # SNTP
    poke 356   # log syncs
    poke 364   # log errors
    poke 360   # log checks
    [ "$1" = serving ] && poke 124
    return 0
}
# The program running with its commands on a pipe.
run_program() {
    rm -f "$work/in"
    mkfifo "$work/in"
    (cd "$work" && exec ./tavrel < "$work/in" > "$work/out" 2>&1) &
    tavrel=$!
    exec 3>"$work/in"
}
end_program() {
    echo "command 2" >&3 || true
    exec 3>&-
    wait "$tavrel" || true
    tavrel=""
}
wait_for_log() {
    local end=$((SECONDS + 90))
    until grep -q "$1" "$work/dLog.txt" 2>/dev/null; do [ "$SECONDS" -lt "$end" ] || return 1; sleep 0.2; done
}

cp "$program" "$work/tavrel"
peers_start_chrony
start_fake 127.0.0.2 0 --leap
start_fake 127.0.0.3 100000
start_fake 127.0.0.4 0 --leap
start_fake 127.0.0.5 10000
printf '127.0.0.1\r\n127.0.0.2\r\n127.0.0.3\r\n127.0.0.4\r\n127.0.0.5\r\n' > "$work/ServFile.txt"

# The Average Correct, the clock 2 s behind.
settings_record quiet
echo -20000000 > "$TAVREL_CLOCK_FILE"
run_program
echo "command 3" >&3
wait_for_log "Tavreled" || true
end_program
check "an Average Correct ends within 10 ms of the truth ($(offset_seconds) s)" "within $(offset_seconds) 0 0.01"
check "the log names the liar 100 s ahead" \
    "grep -q '127.0.0.3 disagrees with the other 3 by +100.0 s; not used' '$work/dLog.txt'"
check "the log names the liar 10 s ahead" \
    "grep -q '127.0.0.5 disagrees with the other 3 by +10.0 s; not used' '$work/dLog.txt'"
check "no honest server is named" "[ \$(grep -c 'disagrees with' '$work/dLog.txt') = 2 ]"
check "two of the three used announce a leap second: the system is told" "grep -q '^1' '$TAVREL_CLOCK_FILE.leap'"

# The own servers on, chronyd gone (the port is the own server's now),
# an honest scripted server alone in the list: a Check finds the clock
# 0.9 s behind and leaves it so.
# The own server serves every IPv4 address: its source answers on ::1.
peers_stop
for pid in "${fakes[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
fakes=()
if ! ip -6 addr show dev lo 2>/dev/null | grep -q '::1'; then
    echo "no IPv6 loopback here: the served clock's checks are skipped"
    report "disagreeing servers"
    exit
fi
start_fake ::1 0 --leap
printf '::1\r\n' > "$work/ServFile.txt"
settings_record serving
rm -f "$TAVREL_CLOCK_FILE.sync"
echo -9000000 > "$TAVREL_CLOCK_FILE"
run_program
echo "command 1" >&3
wait_for_log "Time Checked" || true
# What a real client reads of the own server: sntp takes it, with the
# leap second; the root dispersion is read from the reply's own bytes.
out=""
end=$((SECONDS + 30))
until echo "$out" | grep -q '^20[0-9][0-9]-'; do
    [ "$SECONDS" -lt "$end" ] || break
    out=$(guard sntp -t 2 127.0.0.1 2>&1) || out=""
done
check "sntp takes the served clock 0.9 s behind ($(echo "$out" | tail -1))" \
    "within \"$(echo "$out" | awk '/^20[0-9][0-9]-/ {print $4}')\" -0.9 0.01"
check "and the leap second the servers announce is served back" "echo \"\$out\" | grep -q 'add-leap'"
dispersion=$(python3 - <<'PY'
import os, socket, struct
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(5)
s.sendto(b"\x23" + bytes(39) + os.urandom(8), ("127.0.0.1", 123))
reply = s.recv(48)
print(struct.unpack(">I", reply[8:12])[0] / 65536.0)
PY
) || dispersion=""
check "the served root dispersion is at least the 0.9 s the Check found (${dispersion:-none} s)" \
    "awk -v d='$dispersion' 'BEGIN { exit !(d != \"\" && d >= 0.9 && d < 1) }'"
end_program
check "the Check left the clock as it found it" "within $(offset_seconds) -0.9 0.000001"
report "disagreeing servers"

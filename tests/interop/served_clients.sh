#!/usr/bin/env bash
# Real clients against Tavrel's own TIME and SNTP servers, run by the window
# program (headless) in a private network namespace on the real ports:
# rdate and busybox rdate over RFC 868; sntp, ntpdate -q, rdate -n and
# chronyd -Q over SNTP. Each must accept the reply and find the time within
# 1 s (TIME) or 10 ms (SNTP) of the server's clock, which runs 100 s ahead
# of the machine's and then 100 s behind it, while a time daemon keeps the
# (simulated) clock synchronised. A clock nobody corrected, a day off, is
# refused by sntp and chronyd -Q; once Tavrel has corrected it against
# chronyd, both take it within a millisecond. None may set a clock.
# Usage: served_clients.sh PROGRAM
set -euo pipefail
if [ "${TAVREL_SERVED_NETNS:-}" != 1 ]; then
    # The peers are unpacked (downloaded once) while the network is still there.
    bash "$(dirname "$0")/../support/peers.sh" peers_install
    exec unshare -m -n env TAVREL_SERVED_NETNS=1 bash "$0" "$@"
fi
program=$(realpath "$1")
# shellcheck source=../support/checks.sh
source "$(cd "$(dirname "$0")" && pwd)/../support/checks.sh"
# shellcheck source=../support/peers.sh
source "$(cd "$(dirname "$0")" && pwd)/../support/peers.sh"
peers_require rdate busybox sntp ntpdate chronyd
ip link set lo up
# shellcheck source=../support/names.sh
source "$(dirname "$0")/../support/names.sh"
names_own

work=$(mktemp -d)
tavrel=""
cleanup() {
    [ -n "$tavrel" ] && kill "$tavrel" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME="$work/xdg" XDG_RUNTIME_DIR="$work" TAVREL_HEADLESS=1
unset TAVREL_CLOCK_FILE

guard() { setpriv --bounding-set -sys_time -- "$@"; }
seconds_off() {  # a printed date against the clock now, in whole seconds
    local served now
    served=$(date -d "$1" +%s) || return 1
    now=$(date +%s)
    echo $((served - now))
}

cp "$program" "$work/tavrel"
printf '127.0.0.1\r\n' > "$work/ServFile.txt"
{ printf 'SYNC1400'; head -c 124 /dev/zero; printf '\001'; head -c 375 /dev/zero; } > "$work/vIvod.dat"  # servers on
near() { awk -v v="$1" -v want="$2" -v limit="$3" 'BEGIN { exit !(v != "" && v - want <= limit && want - v <= limit) }'; }

# Serves with the server's clock `offset` seconds off the machine's, so a
# client that got the sign or the size wrong fails.
serve_with_offset() {
    local offset=$1 out wrong
    echo $((offset * 10000000)) > "$work/clock"
    # Another daemon keeps the clock, to a millisecond.
    echo "1 1000 500" > "$work/clock.sync"
    rm -f "$work/in" "$work/out"
    mkfifo "$work/in"
    (cd "$work" && TAVREL_CLOCK_FILE="$work/clock" exec ./tavrel < "$work/in" > "$work/out" 2>&1) &
    tavrel=$!
    exec 3>"$work/in"
    ready() { rdate -p 127.0.0.1 >/dev/null 2>&1 && sntp -t 1 127.0.0.1 >/dev/null 2>&1; }
    local end=$((SECONDS + 30))
    until ready; do [ "$SECONDS" -lt "$end" ] || break; sleep 0.2; done

    out=$(guard rdate -p 127.0.0.1) || out=""
    check "rdate -p reads the TIME server ${offset} s off ($out)" "near \"\$(seconds_off \"$out\")\" $offset 1"
    out=$(guard busybox rdate -p 127.0.0.1) || out=""
    check "busybox rdate -p reads it ${offset} s off ($out)" "near \"\$(seconds_off \"$out\")\" $offset 1"
    out=$(guard rdate -n -p 127.0.0.1) || out=""
    check "rdate -n -p reads the SNTP server ${offset} s off ($out)" "near \"\$(seconds_off \"$out\")\" $offset 1"
    out=$(guard sntp 127.0.0.1) || out=""
    check "sntp reads it ${offset} s off ($out)" "near \"$(echo "$out" | awk '{print $4}')\" $offset 0.01"
    out=$(guard ntpdate -q 127.0.0.1) || out=""
    check "ntpdate -q reads it ${offset} s off ($out)" "near \"$(echo "$out" | awk '{print $4}')\" $offset 0.01"
    out=$(guard chronyd -Q -u root -f /dev/null -t 20 "server 127.0.0.1 iburst" 2>&1) || true
    wrong=$(echo "$out" | sed -n 's/.*System clock wrong by \([-0-9.]*\) seconds.*/\1/p')
    check "chronyd -Q takes a sample ${offset} s off (${wrong:-none})" "near \"$wrong\" $offset 0.01"
    # The same servers on IPv6, where the machine has it.
    if ip -6 addr show dev lo 2>/dev/null | grep -q '::1'; then
        out=$(guard sntp ::1) || out=""
        check "sntp reads it over IPv6 ${offset} s off ($out)" "near \"$(echo "$out" | awk '{print $4}')\" $offset 0.01"
        out=$(guard chronyd -Q -u root -f /dev/null -t 20 "server ::1 iburst" 2>&1) || true
        wrong=$(echo "$out" | sed -n 's/.*System clock wrong by \([-0-9.]*\) seconds.*/\1/p')
        check "chronyd -Q takes a sample over IPv6 ${offset} s off (${wrong:-none})" "near \"$wrong\" $offset 0.01"
    else
        echo "no IPv6 loopback here: the IPv6 checks are skipped"
    fi

    echo "show 1000" >&3
    shown() { grep -q '^1000: \(TIME\|SNTP\) Server Tavreled ' "$work/out"; }
    end=$((SECONDS + 30))
    until shown; do [ "$SECONDS" -lt "$end" ] || break; sleep 0.1; done
    check "the status line names the client" shown

    echo "command 2" >&3
    exec 3>&-
    wait "$tavrel" || true
    tavrel=""
}

serve_with_offset 100
serve_with_offset -100

# Tavrel serving its own clock, started in the background; waits until
# both ports answer (rdate, and a raw SNTP exchange whatever it says).
serve_only() {
    (cd "$work" && TAVREL_CLOCK_FILE="$work/clock" exec ./tavrel < /dev/null > "$work/out" 2>&1) &
    tavrel=$!
    local end=$((SECONDS + 30))
    until rdate -p 127.0.0.1 >/dev/null 2>&1; do [ "$SECONDS" -lt "$end" ] || break; sleep 0.2; done
}
stop_serving() {
    kill "$tavrel" 2>/dev/null || true
    wait "$tavrel" 2>/dev/null || true
    tavrel=""
}
chrony_offset() {  # what chronyd -Q makes of the server, or nothing
    guard chronyd -Q -u root -f /dev/null -t 10 "server 127.0.0.1 iburst" 2>&1 |
        sed -n 's/.*System clock wrong by \([-0-9.]*\) seconds.*/\1/p'
}

# Never corrected and a day off: clients refuse it.
echo $((86400 * 10000000)) > "$work/clock"
rm -f "$work/clock.sync"
serve_only
out=$(guard sntp -t 2 127.0.0.1 2>&1) || true
check "sntp refuses a clock nobody corrected ($out)" "! echo \"\$out\" | grep -q '^20[0-9][0-9]-.* +86400'"
wrong=$(chrony_offset) || true
check "chronyd -Q refuses it (${wrong:-no sample})" "[ -z \"$wrong\" ]"
stop_serving

# Tavrel corrects its clock against chronyd, then serves it: taken within
# a millisecond of the machine's clock, which chronyd serves.
peers_start_chrony >/dev/null
printf '\001' | dd of="$work/vIvod.dat" bs=1 seek=$((8 + 116)) conv=notrunc status=none  # SNTP
(cd "$work" && TAVREL_CLOCK_FILE="$work/clock" ./tavrel /q < /dev/null > "$work/quick.out" 2>&1) || true
peers_stop
check "Tavrel corrected its clock against chronyd" "grep -q 'Tavreled' '$work/quick.out'"
check "and told the system the clock is synchronised" "grep -q '^1 ' '$work/clock.sync'"
serve_only
out=$(guard sntp 127.0.0.1 2>&1) || out=""
check "sntp then takes it ($(echo "$out" | tail -1))" "near \"$(echo "$out" | awk '/^20[0-9][0-9]-/ {print $4}')\" 0 0.01"
wrong=$(chrony_offset) || true
check "chronyd -Q then takes it (${wrong:-no sample})" "near \"$wrong\" 0 0.001"
stop_serving
report "served clients"

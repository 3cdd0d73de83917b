#!/usr/bin/env bash
# Real clients against Tavrel's own TIME and SNTP servers, run by the window
# program (headless) in a private network namespace on the real ports:
# rdate and busybox rdate over RFC 868; sntp, ntpdate -q, rdate -n and
# chronyd -Q over SNTP. Each must accept the reply and find the time within
# 1 s (TIME) or 10 ms (SNTP) of the server's clock, which runs 100 s ahead
# of the machine's and then 100 s behind it. None may set a clock.
# Usage: served_clients.sh PROGRAM
set -euo pipefail
if [ "${TAVREL_SERVED_NETNS:-}" != 1 ]; then
    # The peers are unpacked (downloaded once) while the network is still there.
    bash "$(dirname "$0")/../support/peers.sh" peers_install
    exec unshare -n env TAVREL_SERVED_NETNS=1 bash "$0" "$@"
fi
program=$(realpath "$1")
# shellcheck source=../support/checks.sh
source "$(cd "$(dirname "$0")" && pwd)/../support/checks.sh"
# shellcheck source=../support/peers.sh
source "$(cd "$(dirname "$0")" && pwd)/../support/peers.sh"
peers_require rdate busybox sntp ntpdate chronyd
ip link set lo up

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
report "served clients"

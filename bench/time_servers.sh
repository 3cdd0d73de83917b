#!/usr/bin/env bash
# Requests per second answered by Tavrel's SNTP and TIME servers against
# chronyd (SNTP) and xinetd's built-in time service (TIME), measured in the
# same run on loopback in a private network namespace, with one and with 32
# requests outstanding, Tavrel once with logging off and once with the
# logging a user has by default; each figure the median of three runs.
# Prints the ratios and Tavrel's largest resident memory under the load.
# Usage: bench/time_servers.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
if [ "${TAVREL_BENCH_NETNS:-}" != 1 ]; then
    # The peers are unpacked (downloaded once) while the network is still there.
    bash "$(dirname "$0")/../tests/support/peers.sh" peers_install
    exec unshare -n env TAVREL_BENCH_NETNS=1 bash "$0" "$@"
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build}")
seconds=${2:-3}
load="$build/bench/bench_load"
ip link set lo up
# shellcheck source=../tests/support/peers.sh
source "$root/tests/support/peers.sh"

work=$(mktemp -d)
tavrel=""
cleanup() {
    [ -n "$tavrel" ] && kill "$tavrel" 2>/dev/null || true
    peers_stop
    rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME="$work/xdg" XDG_RUNTIME_DIR="$work" TAVREL_HEADLESS=1
unset TAVREL_CLOCK_FILE

# Closed TIME connections are dropped at once instead of lingering a
# minute in TIME_WAIT, so that no run pays for the ones before it.
sysctl -qw net.ipv4.tcp_max_tw_buckets=256 2>/dev/null || true

cp "$build/tavrel" "$work/tavrel"
printf '127.0.0.1\r\n' > "$work/ServFile.txt"
declare -A ours theirs
peak_kb=0
# The median of three runs of the load: a shared machine's moments vary.
measure() {
    local runs=()
    for _ in 1 2 3; do runs+=("$("$load" "$1" "$2" "$seconds")"); done
    printf '%s\n' "${runs[@]}" | sort -n | sed -n 2p
}
# Tavrel with its servers on and logging off ("No Log") or as by default
# (syncs logged), measured for one protocol.
measure_tavrel() {
    local kind=$1 logging=$2 c kb
    { printf 'SYNC1400'; head -c 500 /dev/zero; } > "$work/vIvod.dat"
    printf '\001' | dd of="$work/vIvod.dat" bs=1 seek=$((8 + 124)) conv=notrunc status=none  # servers on
    local flag=$((8 + 352))                                                                  # no log
    [ "$logging" = on ] && flag=$((8 + 356))                                                 # syncs
    printf '\001' | dd of="$work/vIvod.dat" bs=1 seek=$flag conv=notrunc status=none
    rm -f "$work/dLog.txt"
    (cd "$work" && exec ./tavrel < /dev/null > /dev/null 2>&1) &
    tavrel=$!
    local end=$((SECONDS + 30))
    until { [ "$kind" = sntp ] && sntp -t 1 127.0.0.1 >/dev/null 2>&1; } ||
          { [ "$kind" = time ] && rdate -p 127.0.0.1 >/dev/null 2>&1; }; do
        [ "$SECONDS" -lt "$end" ] || { echo "Tavrel's servers did not come up"; exit 1; }
        sleep 0.2
    done
    for c in 1 32; do ours[$kind$c$logging]=$(measure "$kind" "$c"); done
    kb=$(awk '/^VmHWM:/ { print $2 }' "/proc/$tavrel/status")
    [ "${kb:-0}" -gt "$peak_kb" ] && peak_kb=$kb
    kill "$tavrel"; wait "$tavrel" 2>/dev/null || true; tavrel=""
}

# Each protocol apart: Tavrel both ways, then its peer.
for logging in off on; do measure_tavrel sntp "$logging"; done
peers_start_chrony >/dev/null
for c in 1 32; do theirs[sntp$c]=$(measure sntp "$c"); done
peers_stop
for logging in off on; do measure_tavrel time "$logging"; done
peers_start_time37 >/dev/null
for c in 1 32; do theirs[time$c]=$(measure time "$c"); done

printf '%-40s %12s %12s %8s\n' "requests per second" "Tavrel" "peer" "ratio"
for kind in sntp time; do
    peer=chronyd; [ "$kind" = time ] && peer="xinetd time"
    for logging in off on; do
        for c in 1 32; do
            ratio=$(awk -v a="${ours[$kind$c$logging]}" -v b="${theirs[$kind$c]}" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
            printf '%-40s %12s %12s %8s\n' "${kind^^} vs $peer, $c outstanding, log $logging" \
                "${ours[$kind$c$logging]}" "${theirs[$kind$c]}" "$ratio"
        done
    done
done
echo "Tavrel's largest resident memory under the load: $((peak_kb / 1024)).$(( (peak_kb % 1024) * 10 / 1024 )) MB"

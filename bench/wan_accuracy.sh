#!/usr/bin/env bash
# How close Tavrel sets a clock over a path like the internet's, against
# the tools people use, in one run.
#
# In a private network namespace, chronyd (never touching a clock) serves
# this machine's clock on 127.0.0.1; a relay on 127.0.0.2 stands for the
# path: 30 ms each way on average, 5 ms more out than back (asymmetry),
# +-10 ms of jitter on every datagram and 2% of them lost. Then, in rounds,
# each in turn asks chronyd through the relay:
#   - Tavrel: a Correct ("tavrel /q") of the simulated clock, set 1 s
#     ahead first (slewing off, so every correction is a step); its
#     residual is where the simulated clock ends, as chronyd serves the
#     real clock;
#   - chronyd -Q, ntpdate -q and sntp: the offset each reports of the
#     machine's clock, which is right by definition here (the true offset
#     is 0).
# Prints the median and the 90th percentile of each one's absolute
# residual in microseconds, and Tavrel's figures as ratios to each tool's.
# The asymmetry alone puts 2.5 ms into every tool's answer (half the
# difference of the two ways, which no client can see).
#
# The simulated clock is read from its file at each reading; what that
# costs is measured apart (bench_clock_read) and printed: a reading taken
# when a reply arrives is late by it, which moves an offset by half of it.
#
# Usage: bench/wan_accuracy.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
export LC_ALL=C
if [ "${TAVREL_BENCH_NETNS:-}" != 1 ]; then
    # The peers are unpacked (downloaded once) while the network is still there.
    bash "$(dirname "$0")/../tests/support/peers.sh" peers_install
    exec unshare -n env TAVREL_BENCH_NETNS=1 bash "$0" "$@"
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build}")
rounds=${2:-20}
# shellcheck source=../tests/support/peers.sh
source "$root/tests/support/peers.sh"

work=$(mktemp -d)
relay_pid=
cleanup() {
    [ -n "$relay_pid" ] && kill "$relay_pid" 2>/dev/null && wait "$relay_pid" 2>/dev/null
    peers_stop
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

ip link set lo up
peers_stop_on_exit
peers_start_chrony >/dev/null

seed=${TAVREL_BENCH_SEED:-$(date +%s)}
"$build/tests/path_relay" udp 127.0.0.2:123 127.0.0.1:123 --out 32500us --in 27500us --jitter 10ms \
    --loss 0.02 --seed "$seed" --seconds 3600 > "$work/relay.out" &
relay_pid=$!
for _ in $(seq 100); do
    grep -q '^ready' "$work/relay.out" 2>/dev/null && break
    sleep 0.1
done
grep -q '^ready' "$work/relay.out" || { echo "the relay did not start" >&2; exit 1; }

# Tavrel's folder: the relay its only server, SNTP, slewing off.
mkdir "$work/tavrel"
cp "$build/tavrel" "$work/tavrel/tavrel"
printf '127.0.0.2\r\n' > "$work/tavrel/ServFile.txt"
{ printf 'SYNC1400'; head -c 500 /dev/zero; } > "$work/tavrel/vIvod.dat"
poke() { printf "\\$(printf '%03o' "$2")" | dd of="$work/tavrel/vIvod.dat" bs=1 seek=$((8 + $1)) conv=notrunc status=none; }
poke 12 1    # slewing off
poke 116 1   # SNTP
poke 140 15  # sync time-out 15 s
export TAVREL_CLOCK_FILE="$work/clock"

magnitude_us() { awk -v v="$1" 'BEGIN { if (v == "") exit 1; v *= 1e6; printf "%.1f\n", v < 0 ? -v : v }'; }
for _ in $(seq "$rounds"); do
    echo 10000000 > "$TAVREL_CLOCK_FILE"  # 1 s ahead
    (cd "$work/tavrel" && timeout 60 ./tavrel /q > /dev/null 2>&1) || true
    offset=$(awk '{ printf "%.7f", ($1 + 0) / 1e7 }' "$TAVREL_CLOCK_FILE")
    # A Correct that failed leaves the clock a second off: it counts as such.
    magnitude_us "$offset" >> "$work/tavrel.us"

    out=$(timeout 60 chronyd -Q -u root -f /dev/null -t 30 "server 127.0.0.2 iburst" 2>&1) || true
    wrong=$(echo "$out" | sed -n 's/.*System clock wrong by \([-0-9.]*\) seconds.*/\1/p')
    magnitude_us "$wrong" >> "$work/chronyd.us" || echo "chronyd -Q: no answer" >&2

    out=$(timeout 60 ntpdate -q 127.0.0.2 2>/dev/null) || true
    magnitude_us "$(echo "$out" | awk 'NR == 1 { print $4 }')" >> "$work/ntpdate.us" || echo "ntpdate -q: no answer" >&2

    out=$(timeout 60 sntp 127.0.0.2 2>/dev/null) || true
    magnitude_us "$(echo "$out" | awk 'NR == 1 { print $4 }')" >> "$work/sntp.us" || echo "sntp: no answer" >&2
done

# The median and the 90th percentile (nearest rank) of a file of figures.
percentile() { sort -g "$1" | awk -v p="$2" '{ v[NR] = $1 } END { if (NR == 0) exit 1; r = int(p * NR + 0.999999); if (r < 1) r = 1; print v[r] }'; }
read -r real_cost simulated_cost < <("$build/bench/bench_clock_read" "$work/clock.cost" 2>/dev/null || echo "0 0")

for tool in tavrel chronyd ntpdate sntp; do
    echo "$tool: $(tr '\n' ' ' < "$work/$tool.us" 2>/dev/null)" >&2
done
printf 'path: 32.5 ms out, 27.5 ms back, +-10 ms jitter, 2%% loss (seed %s); %s rounds\n' "$seed" "$rounds"
printf '%-12s %8s %12s %12s\n' tool answers "median us" "p90 us"
for tool in tavrel chronyd ntpdate sntp; do
    [ -s "$work/$tool.us" ] || { printf '%-12s %8s\n' "$tool" 0; continue; }
    printf '%-12s %8s %12s %12s\n' "$tool" "$(wc -l < "$work/$tool.us")" \
        "$(percentile "$work/$tool.us" 0.5)" "$(percentile "$work/$tool.us" 0.9)"
done
tm=$(percentile "$work/tavrel.us" 0.5)
tp=$(percentile "$work/tavrel.us" 0.9)
best_median=
best_p90=
for tool in chronyd ntpdate sntp; do
    [ -s "$work/$tool.us" ] || continue
    m=$(percentile "$work/$tool.us" 0.5)
    p=$(percentile "$work/$tool.us" 0.9)
    printf 'tavrel / %-8s median %.2f  p90 %.2f\n' "$tool" \
        "$(awk -v a="$tm" -v b="$m" 'BEGIN { print (b > 0 ? a / b : 0) }')" \
        "$(awk -v a="$tp" -v b="$p" 'BEGIN { print (b > 0 ? a / b : 0) }')"
    best_median=$(awk -v a="${best_median:-$m}" -v b="$m" 'BEGIN { print b < a ? b : a }')
    best_p90=$(awk -v a="${best_p90:-$p}" -v b="$p" 'BEGIN { print b < a ? b : a }')
done
printf 'tavrel / best of the others: median %.2f  p90 %.2f\n' \
    "$(awk -v a="$tm" -v b="$best_median" 'BEGIN { print (b > 0 ? a / b : 0) }')" \
    "$(awk -v a="$tp" -v b="$best_p90" 'BEGIN { print (b > 0 ? a / b : 0) }')"
printf 'a clock reading costs %s us, %s us with the simulated clock (a reply read that much late moves an offset by half of it)\n' \
    "$real_cost" "$simulated_cost"

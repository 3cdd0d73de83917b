#!/usr/bin/env bash
# Requests per second answered by Tavrel's SNTP and TIME servers against
# chronyd (SNTP) and xinetd's built-in time service (TIME), measured in the
# same run on loopback in a private network namespace, with one and with 32
# requests outstanding. Logging is off in Tavrel. Prints the ratios.
# Usage: bench/time_servers.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
if [ "${TAVREL_BENCH_NETNS:-}" != 1 ]; then
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

# Tavrel with its servers on and logging off.
cp "$build/tavrel" "$work/tavrel"
printf '127.0.0.1\r\n' > "$work/ServFile.txt"
{ printf 'SYNC1400'; head -c 124 /dev/zero; printf '\001'; head -c 227 /dev/zero; printf '\001'; head -c 147 /dev/zero; } > "$work/vIvod.dat"
(cd "$work" && exec ./tavrel < /dev/null > /dev/null 2>&1) &
tavrel=$!
end=$((SECONDS + 30))
until rdate -p 127.0.0.1 >/dev/null 2>&1 && sntp -t 1 127.0.0.1 >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$end" ] || { echo "Tavrel's servers did not come up"; exit 1; }
    sleep 0.2
done
declare -A ours theirs
for c in 1 32; do
    ours[sntp$c]=$("$load" sntp "$c" "$seconds")
    ours[time$c]=$("$load" time "$c" "$seconds")
done
kill "$tavrel"; wait "$tavrel" 2>/dev/null || true; tavrel=""

peers_start_chrony >/dev/null
peers_start_time37 >/dev/null
for c in 1 32; do
    theirs[sntp$c]=$("$load" sntp "$c" "$seconds")
    theirs[time$c]=$("$load" time "$c" "$seconds")
done

printf '%-28s %12s %12s %8s\n' "requests per second" "Tavrel" "peer" "ratio"
for kind in sntp time; do
    peer=chronyd; [ "$kind" = time ] && peer="xinetd time"
    for c in 1 32; do
        ratio=$(awk -v a="${ours[$kind$c]}" -v b="${theirs[$kind$c]}" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
        printf '%-28s %12s %12s %8s\n' "${kind^^} vs $peer, $c outstanding" "${ours[$kind$c]}" "${theirs[$kind$c]}" "$ratio"
    done
done

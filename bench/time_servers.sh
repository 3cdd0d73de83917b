#!/usr/bin/env bash
# Requests per second answered by Tavrel's SNTP and TIME servers against
# chronyd (SNTP) and xinetd's built-in time service (TIME), with one and with
# 32 requests outstanding, Tavrel once with logging off and once with the
# logging a user has by default.
#
# All three (two Tavrels and the peers) run at once, each in a network
# namespace of its own (all listen on the standard ports), joined by veth
# pairs with loopback-range addresses to this script's private namespace,
# where the load client runs and targets each by address: no packet has an
# address outside 127.0.0.0/8. Each Tavrel serves the real clock without the
# right to set it (no CAP_SYS_TIME in its bounding set). The load goes to them in turn, round by round,
# the order rotating each round, so that whatever else the machine does falls
# on all of them alike. Each figure is the median of the rounds, each ratio
# the median of the rounds' ratios; every round's figures go to stderr. The
# requests come from about a quarter of a million client addresses in turn,
# so no address asks often enough for a per-client rate limit to act.
#
# Then, for at least 10 s, one client address sends SNTP requests to Tavrel
# as fast as it can while another asks once a second: prints the share of
# the first one's requests answered and how many of the second one's.
#
# Prints Tavrel's largest resident memory under the load too.
# Usage: bench/time_servers.sh [BUILD_DIR] [SECONDS]
# TAVREL_BENCH_ROUNDS sets the number of rounds (5); TAVREL_BENCH_PIN=0 lets
# the scheduler place the load client and the servers (by default the client
# has the last processor, the servers the others).
set -euo pipefail
export LC_ALL=C
if [ "${TAVREL_BENCH_NETNS:-}" != 1 ]; then
    # The peers are unpacked (downloaded once) while the network is still there.
    bash "$(dirname "$0")/../tests/support/peers.sh" peers_install
    exec unshare -n env TAVREL_BENCH_NETNS=1 bash "$0" "$@"
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build}")
seconds=${2:-3}
rounds=${TAVREL_BENCH_ROUNDS:-5}
# shellcheck source=../tests/support/peers.sh
source "$root/tests/support/peers.sh"

# This namespace (the client side) has every address of clients/10 as its
# own, through a local route on lo; the load's requests come from load_from
# in turn, the two single clients' from their own addresses beyond it.
clients=127.64.0.0/10
load_from=127.64.0.0/14
abuser=127.127.0.1
polite=127.127.0.2
# The load client has the last processor to itself as far as this script
# goes, the servers the others: where the scheduler would put them, and with
# it whether a request and its reply cross processors, is then the same for
# every server instead of a matter of luck in each run.
cpus=$(nproc)
client_cpu=()
server_cpus=()
if [ "$cpus" -ge 2 ] && [ "${TAVREL_BENCH_PIN:-1}" = 1 ]; then
    client_cpu=(taskset -c "$((cpus - 1))")
    server_cpus=(taskset -c "0-$((cpus - 2))")
fi
load() { "${client_cpu[@]}" "$build/bench/bench_load" "$@"; }
# Each server namespace N is reached at 127.N.0.1, this side's end being
# 127.N.0.2.
declare -A net=([off]=1 [on]=2 [peer]=3)
declare -A name=([off]="Tavrel, log off" [on]="Tavrel, log on" [peer]="peers")

work=$(mktemp -d)
# The process holding each server side's namespace, and Tavrel's by side.
declare -A holder=() tavrel=()
peer_side=""

# TERM, then KILL when it has not ended within 20 s.
stop_process() {
    local pid=$1 end=$((SECONDS + 20))
    kill -TERM "$pid" 2>/dev/null || return 0
    while kill -0 "$pid" 2>/dev/null && [ -z "$(awk '/^State:/ && $2 == "Z"' "/proc/$pid/status" 2>/dev/null)" ]; do
        if [ "$SECONDS" -ge "$end" ]; then kill -KILL "$pid" 2>/dev/null || true; break; fi
        sleep 0.1
    done
    wait "$pid" 2>/dev/null || true
}
cleanup() {
    local pid
    for pid in "${tavrel[@]}"; do stop_process "$pid"; done
    [ -n "$peer_side" ] && stop_process "$peer_side"
    # The namespaces end with their holders, and the veth pairs with them.
    for pid in "${holder[@]}"; do stop_process "$pid"; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

ip link set lo up
# Loopback keeps 127.0.0.0/16 (and the clients' addresses) as its own, so
# that the rest of 127.0.0.0/8 can be the veth links', which may carry
# loopback addresses (route_localnet, set on each link too).
# Run as given, or with a prefix that puts it in another namespace.
narrow_loopback() {
    "$@" ip route del local 127.0.0.0/8 dev lo table local
    "$@" ip route add local 127.0.0.0/16 dev lo table local
    "$@" sysctl -qw net.ipv4.conf.all.route_localnet=1
}
narrow_loopback
ip route add local "$clients" dev lo
# Closed TIME connections are dropped at once instead of lingering a
# minute in TIME_WAIT, so that no run pays for the ones before it (the
# servers close first, so theirs are the ones that would linger).
sysctl -qw net.ipv4.tcp_max_tw_buckets=256 2>/dev/null || true

# Runs a command in the network namespace of the given holder.
in_netns() {
    local pid=$1
    shift
    nsenter --net="/proc/$pid/ns/net" -- "$@"
}

# Gives server side $1 a network namespace of its own, held by a process
# that is killed when this script ends however it ends, and joins it to this
# one by a veth pair.
new_server_netns() {
    local side=$1 n=${net[$1]} pid end=$((SECONDS + 20))
    unshare -n setpriv --pdeathsig KILL -- sleep infinity &
    pid=$!
    holder[$side]=$pid
    # Up once the holder is sleep: in its namespace, with its death signal.
    until [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = sleep ] &&
          [ "$(readlink "/proc/$pid/ns/net")" != "$(readlink /proc/self/ns/net)" ]; do
        [ "$SECONDS" -lt "$end" ] || { echo "no namespace for $side" >&2; exit 1; }
        sleep 0.05
    done
    ip link add "c$n" type veth peer name "s$n" netns "$pid"
    sysctl -qw "net.ipv4.conf.c$n.route_localnet=1"
    ip addr add "127.$n.0.2/30" dev "c$n"
    # ARP requests ask from this end's own address, not from the client
    # address of the packet that set them off: the far side then learns one
    # neighbour, not one for each client (the kernel's neighbour table is
    # shared with the rest of the machine).
    sysctl -qw "net.ipv4.conf.c$n.arp_announce=2"
    ip link set "c$n" up
    in_netns "$pid" ip link set lo up
    narrow_loopback in_netns "$pid"
    in_netns "$pid" sysctl -qw "net.ipv4.conf.s$n.route_localnet=1"
    in_netns "$pid" ip addr add "127.$n.0.1/30" dev "s$n"
    in_netns "$pid" ip link set "s$n" up
    in_netns "$pid" sysctl -qw net.ipv4.tcp_max_tw_buckets=256 2>/dev/null || true
}

# The route back to the clients' addresses: through this side's end of the
# veth, so that the server side keeps one neighbour entry for them all.
route_back() {
    local side=$1
    in_netns "${holder[$side]}" ip route add "$clients" via "127.${net[$side]}.0.2"
}

# Polls until the SNTP and TIME servers at the address answer, a client
# address of the pool (one request, from an address of its own each time)
# included; at most a minute.
wait_answering() {
    local address=$1 what=$2 end=$((SECONDS + 60)) probe=0 answered=0
    # (sntp itself would refuse a Tavrel whose clock nobody corrected: it
    # serves such a clock as unsynchronised, and the load counts any reply.)
    until rdate -p "$address" >/dev/null 2>&1 && [ "$answered" -gt 0 ]; do
        [ "$SECONDS" -lt "$end" ] || { echo "$what did not answer at $address" >&2; exit 1; }
        probe=$((probe + 1))
        read -r _ answered _ < <(load sntp "$address" 1 0.01 --from "127.126.$((probe / 250)).$((probe % 250 + 1))" \
                                       --every 1000 --timeout 1000 --tally)
        [ "$answered" -gt 0 ] || sleep 0.2
    done
}

# Tavrel with its servers on and logging off ("No Log") or as by default
# (syncs logged), in side $1's namespace, serving the real clock without
# CAP_SYS_TIME in its bounding set: it can never set that clock.
start_tavrel() {
    local side=$1 dir=$work/$1 flag=$((8 + 352))  # no log
    [ "$side" = on ] && flag=$((8 + 356))           # syncs
    mkdir -p "$dir/xdg" "$dir/run"
    chmod 700 "$dir/run"
    cp "$build/tavrel" "$dir/tavrel"
    printf '127.0.0.1\r\n' > "$dir/ServFile.txt"
    { printf 'SYNC1400'; head -c 500 /dev/zero; } > "$dir/vIvod.dat"
    printf '\001' | dd of="$dir/vIvod.dat" bs=1 seek=$((8 + 124)) conv=notrunc status=none  # servers on
    printf '\001' | dd of="$dir/vIvod.dat" bs=1 seek=$flag conv=notrunc status=none
    (cd "$dir" && XDG_CONFIG_HOME=$dir/xdg XDG_RUNTIME_DIR=$dir/run TAVREL_HEADLESS=1 \
        exec "${server_cpus[@]}" nsenter --net="/proc/${holder[$side]}/ns/net" -- setpriv --bounding-set -sys_time --pdeathsig KILL -- ./tavrel \
        < /dev/null > /dev/null 2>&1) &
    tavrel[$side]=$!
}

# chronyd and xinetd's time service, started in the peers' namespace by a
# shell of their own there, which stops them when told to or when this
# script has gone.
start_peers() {
    local end=$((SECONDS + 120))
    # shellcheck disable=SC2016 # expanded by the peers' shell
    PEERS_ADDR=127.${net[peer]}.0.1 PEERS_CHRONY_ALLOW=$clients \
        "${server_cpus[@]}" nsenter --net="/proc/${holder[peer]}/ns/net" -- bash -c '
            set -euo pipefail
            source "$1"
            trap peers_stop EXIT
            trap "exit 0" TERM INT
            peers_start_chrony >/dev/null
            peers_start_time37 >/dev/null
            : > "$2"
            while kill -0 "$3" 2>/dev/null; do sleep 0.5; done' \
        peers "$root/tests/support/peers.sh" "$work/peers-up" "$$" > "$work/peers.log" 2>&1 &
    peer_side=$!
    until [ -e "$work/peers-up" ]; do
        if ! kill -0 "$peer_side" 2>/dev/null || [ "$SECONDS" -ge "$end" ]; then
            cat "$work/peers.log" >&2
            echo "the peers did not start" >&2
            exit 1
        fi
        sleep 0.1
    done
}

for side in off on peer; do new_server_netns "$side"; done
start_tavrel off
start_tavrel on
# peers.sh starts a daemon only where no route leads through a gateway, so
# the route back to the clients (which leads only to this namespace, itself
# without a way off the machine) is added once the daemons are up.
start_peers
for side in off on peer; do route_back "$side"; done
for side in off on peer; do wait_answering "127.${net[$side]}.0.1" "${name[$side]}"; done
for side in off on; do
    _peers_check_no_sys_time "${tavrel[$side]}" || { echo "${name[$side]} may set the clock" >&2; exit 1; }
done

# figure[kind concurrency side] holds the replies per second of each round.
declare -A figure=()
sides=(off on peer)
for ((round = 0; round < rounds; round++)); do
    line="round $((round + 1)) of $rounds:"
    for kind in sntp time; do
        for c in 1 32; do
            line+=" ${kind^^} $c"
            for ((i = 0; i < 3; i++)); do
                side=${sides[(round + i) % 3]}
                result=$(load "$kind" "127.${net[$side]}.0.1" "$c" "$seconds" --from "$load_from")
                figure[$kind $c $side]+="$result "
                line+=" $side $result"
            done
            line+=";"
        done
    done
    echo "$line" >&2
done
for side in off on; do
    kill -0 "${tavrel[$side]}" 2>/dev/null || { echo "${name[$side]} ended under the load" >&2; exit 1; }
done

# The median of the numbers given.
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

echo "medians of $rounds interleaved rounds of $seconds s each; ratio: the median of the rounds' ratios"
printf '%-44s %9s %9s %6s  %s\n' "requests per second" "Tavrel" "peer" "ratio" "ratio in the rounds"
for kind in sntp time; do
    peer=chronyd; [ "$kind" = time ] && peer="xinetd time"
    for side in off on; do
        for c in 1 32; do
            read -ra ours <<< "${figure[$kind $c $side]}"
            read -ra theirs <<< "${figure[$kind $c peer]}"
            ratios=()
            for ((r = 0; r < rounds; r++)); do
                ratios+=("$(awk -v a="${ours[r]}" -v b="${theirs[r]}" 'BEGIN { printf "%.3f", (b > 0 ? a / b : 0) }')")
            done
            mapfile -t ratios < <(printf '%s\n' "${ratios[@]}" | sort -g)
            printf '%-44s %9.0f %9.0f %6.2f  %.2f to %.2f\n' "${kind^^} vs $peer, $c outstanding, log $side" \
                "$(median "${ours[@]}")" "$(median "${theirs[@]}")" "$(median "${ratios[@]}")" \
                "${ratios[0]}" "${ratios[-1]}"
        done
    done
done

# One address asking as fast as it can, 32 requests outstanding and each
# given up after 20 ms, against Tavrel with the logging a user has; another
# asks once a second meanwhile. At least 10 s, for ten of the latter.
abuse_seconds=$(awk -v s="$seconds" 'BEGIN { print (s > 10 ? s : 10) }')
target=127.${net[on]}.0.1
load sntp "$target" 1 "$abuse_seconds" --from "$polite" --every 1000 --timeout 1000 --tally > "$work/polite" &
polite_load=$!
read -r sent answered refused < <(load sntp "$target" 32 "$abuse_seconds" --from "$abuser" --timeout 20 --tally)
wait "$polite_load"
read -r polite_sent polite_answered _ < "$work/polite"
awk -v s="$sent" -v a="$answered" -v r="$refused" -v t="$abuse_seconds" -v ps="$polite_sent" -v pa="$polite_answered" 'BEGIN {
    printf "one address flooding Tavrel (log on) for %s s, 32 outstanding, 20 ms timeout: %d requests, %.1f%% answered, %.1f%% refused (kiss-o'"'"'-death); one asking once a second meanwhile: %d of %d answered\n",
        t, s, (s > 0 ? 100 * a / s : 0), (s > 0 ? 100 * r / s : 0), pa, ps
}'

# VmHWM: the most the process has had resident.
peak() { awk '/^VmHWM:/ { printf "%.1f", $2 / 1024 }' "/proc/${tavrel[$1]}/status"; }
off_mb=$(peak off)
on_mb=$(peak on)
echo "Tavrel's largest resident memory under the load: $(printf '%s\n' "$off_mb" "$on_mb" | sort -g | tail -1) MB (log off $off_mb MB, log on $on_mb MB)"

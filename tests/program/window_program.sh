#!/usr/bin/env bash
# The window program on the headless backend, run as a user would: it
# corrects the clock at start from a real RFC 868 time service (xinetd, in a
# private network namespace), keeps a second instance out, and saves its
# settings when closed.
# Usage: window_program.sh PROGRAM
set -euo pipefail
if [ "${TAVREL_WINDOW_NETNS:-}" != 1 ]; then
    # The peers are unpacked (downloaded once) while the network is still there.
    bash "$(dirname "$0")/../support/peers.sh" peers_install
    exec unshare -m -n env TAVREL_WINDOW_NETNS=1 bash "$0" "$@"
fi
program=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/checks.sh
source "$here/../support/checks.sh"
ip link set lo up
# shellcheck source=../support/names.sh
source "$(dirname "$0")/../support/names.sh"
names_own
# shellcheck source=../support/peers.sh
source "$here/../support/peers.sh"
peers_stop_on_exit
peers_start_time37

work=$(mktemp -d)
first=""
cleanup() {
    [ -n "$first" ] && kill "$first" 2>/dev/null || true
    peers_stop
    rm -rf "$work"
}
trap cleanup EXIT
export TAVREL_CLOCK_FILE="$work/clock" XDG_CONFIG_HOME="$work/xdg" XDG_RUNTIME_DIR="$work" TAVREL_HEADLESS=1

# Polls a condition for up to $1 seconds.
wait_for() {
    local limit=$1; shift
    local end=$((SECONDS + limit))
    until eval "$*"; do
        [ "$SECONDS" -lt "$end" ] || return 1
        sleep 0.1
    done
}
poke() { printf '\001' | dd of="$work/vIvod.dat" bs=1 seek=$((8 + $1)) conv=notrunc status=none; }

cp "$program" "$work/tavrel"
printf '127.0.0.1\r\n' > "$work/ServFile.txt"
{ printf 'SYNC1400'; head -c 500 /dev/zero; } > "$work/vIvod.dat"
printf '\002' | dd of="$work/vIvod.dat" bs=1 seek=$((8 + 172)) conv=notrunc status=none  # Correct at start
poke 356  # log corrections
echo 1000000000 > "$TAVREL_CLOCK_FILE"  # 100 s ahead

mkfifo "$work/in"
(cd "$work" && exec ./tavrel < "$work/in" > "$work/out" 2>&1) &
first=$!
exec 3>"$work/in"

check "the start action corrects the clock" "wait_for 60 grep -q Tavreled '$work/dLog.txt' 2>/dev/null"
# TIME gives whole seconds, read as the second's middle: the clock ends
# within half a second either side (and a little for the exchange).
check "the clock is right afterwards" \
    "awk '{ v = \$1 / 1e7; exit !(v < 0.6 && v > -0.6) }' '$TAVREL_CLOCK_FILE'"
echo "show 1000" >&3
status_shown() { grep -q '^1000: Time Corrected' "$work/out"; }
check "the status line shows the correction" "wait_for 30 status_shown"

start=$SECONDS
(cd "$work" && ./tavrel < /dev/null > "$work/second.out" 2>&1) || true
took=$((SECONDS - start))
check "a second window program ends after about 5 s (took ${took} s)" "[ $took -ge 4 ] && [ $took -le 30 ]"
check "the first one keeps running" "kill -0 $first"

echo "close" >&3
first_ended() { ! kill -0 "$first" 2>/dev/null; }
check "closing ends the program" "wait_for 60 first_ended"
first=""
check "closing saves a 508-byte settings file" "[ \$(stat -c %s '$work/vIvod.dat') = 508 ]"
check "the settings file begins SYNC1400" "[ \"\$(head -c 8 '$work/vIvod.dat')\" = SYNC1400 ]"
exec 3>&-

report "window program"

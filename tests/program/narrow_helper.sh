#!/usr/bin/env bash
# The window program without the right to set the clock, with the narrow
# clock helper on: Correct runs in the window, which stays an ordinary
# user's process without CAP_SYS_TIME, and only the clock change goes
# through the elevator, as `<elevator> <program> --apply-clock-change ...`.
# The elevator here is a stand-in that records how it was called and, like
# pkexec granting the right, runs the helper with the right to set the
# simulated clock; or, like a dismissed prompt, exits 126. The peer is
# chronyd in a private network namespace.
# Usage: narrow_helper.sh PROGRAM
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
    echo "narrow helper: skipped (needs root for the namespace and an ordinary user)"
    exit 0
fi
if [ "${TAVREL_NARROW_NETNS:-}" != 1 ]; then
    # The peers are unpacked (downloaded once) while the network is still there.
    bash "$(dirname "$0")/../support/peers.sh" peers_install
    exec unshare -m -n env TAVREL_NARROW_NETNS=1 bash "$0" "$@"
fi
program=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/checks.sh
source "$here/../support/checks.sh"
ip link set lo up
# shellcheck source=../support/names.sh
source "$here/../support/names.sh"
names_own
# shellcheck source=../support/peers.sh
source "$here/../support/peers.sh"
peers_stop_on_exit
peers_start_chrony

work=$(mktemp -d)
window=""
cleanup() {
    [ -n "$window" ] && kill -9 "$window" 2>/dev/null || true
    peers_stop
    rm -rf "$work"
}
trap cleanup EXIT
unset LANG LC_ALL
user=nobody
uid=$(id -u "$user")
data="$work/data"
mkdir -p "$data" "$work/run" "$work/xdg"
cp "$program" "$data/tavrel"
printf '127.0.0.1\r\n' > "$data/ServFile.txt"
{ printf 'SYNC1400'; head -c 500 /dev/zero; } > "$data/vIvod.dat"
poke() { printf '\001' | dd of="$data/vIvod.dat" bs=1 seek=$((8 + $1)) conv=notrunc status=none; }
poke 116  # SNTP
poke 356  # log corrections
poke 364  # log errors
echo 1000000000 > "$work/clock"  # 100 s ahead

# The stand-in for pkexec: how it was called, by whom, and its caller's
# rights; then the helper with the right to set the clock (pkexec's
# environment is not the caller's either), or the status in "answer".
cat > "$work/elevator" <<'STANDIN'
#!/bin/sh
log="$(dirname "$0")/calls"
{
    echo "call"
    echo "uid $(id -u)"
    echo "parent $PPID"
    awk '/^Uid:/ { print "parent-uid", $2 } /^CapEff:/ { print "parent-capeff", $2 }' "/proc/$PPID/status"
    for arg in "$@"; do echo "arg $arg"; done
} >> "$log"
answer="$(dirname "$0")/answer"
if [ -s "$answer" ]; then exit "$(cat "$answer")"; fi
exec env -u TAVREL_CLOCK_NO_RIGHT "$@"
STANDIN
chmod 755 "$work/elevator"
chown -R "$user" "$work"
chmod 700 "$work/run"

start_window() {
    rm -f "$work/in" "$work/out"
    mkfifo "$work/in"
    chown "$user" "$work/in"
    (cd "$data" && exec env TAVREL_HEADLESS=1 TAVREL_CLOCK_FILE="$work/clock" TAVREL_CLOCK_NO_RIGHT=1 \
        TAVREL_NARROW_CLOCK_HELPER=1 TAVREL_ELEVATOR="$work/elevator" XDG_RUNTIME_DIR="$work/run" \
        XDG_CONFIG_HOME="$work/xdg" \
        setpriv --reuid="$uid" --regid="$(id -g "$user")" --clear-groups --inh-caps=-all --bounding-set=-all \
        ./tavrel < "$work/in" > "$work/out" 2>&1) &
    window=$!
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
shows_prefix() { [[ "$(shown "$1")" == "$2"* ]]; }
# A line of the window's /proc status, its values separated by blanks.
field() { awk -v k="$1" '$1 == k { $1 = ""; print substr($0, 2) }' "/proc/$window/status"; }
offset_within() { awk -v lo="$1" -v hi="$2" '{ exit !($1 >= lo && $1 <= hi) }' "$work/clock"; }
calls() { grep -c '^call$' "$work/calls" 2>/dev/null || echo 0; }

start_window
poll 30 shows_prefix 1000 Ready || true
check "the window runs as $user" "[ \"\$(field Uid:)\" = '$uid $uid $uid $uid' ]"
check "the window holds no CAP_SYS_TIME" "(( (16#\$(field CapEff:) >> 25 & 1) == 0 ))"
say "command 3"
check "the Correct ends with the correction" "poll 60 shows_prefix 1000 'Time Corrected'"
# The clock file: the offset to the real clock, in 100-ns units.
check "the clock is within 1 ms of chronyd's" "offset_within -10000 10000"
check "the elevator was called once" "[ \$(calls) = 1 ]"
check "the elevator was called by the window" "grep -qx 'parent $window' '$work/calls'"
check "the window had no CAP_SYS_TIME then" \
    "(( (16#\$(awk '\$1 == \"parent-capeff\" { print \$2 }' '$work/calls') >> 25 & 1) == 0 ))"
check "the window was not root then" "grep -qx 'parent-uid $uid' '$work/calls' && grep -qx 'uid $uid' '$work/calls'"
args=$(grep '^arg ' "$work/calls" | cut -d' ' -f2- | tr '\n' ' ')
check "with the program and the helper's arguments only ($args)" \
    "[[ '$args' =~ ^$data/tavrel\\ --apply-clock-change\\ step\\ -(99|100)(\\.[0-9]+)?\\ \$ ]]"
check "the log says the clock was set" "grep -q 'Tavreled' '$data/dLog.txt'"

# A dismissed prompt: the clock stays as it was and the window says so.
echo 126 > "$work/answer"
echo 1000000000 > "$work/clock"
say "command 3"
check "a dismissed prompt leaves the clock unchanged, the window says so" \
    "poll 60 shows_prefix 1000 'Clock not set: the request was dismissed'"
check "the clock was not touched" "[ \"\$(cat '$work/clock')\" = 1000000000 ]"
check "the log does not claim a correction" \
    "[ \$(grep -c Tavreled '$data/dLog.txt') = 1 ] && grep -q 'Clock not set: the request was dismissed' '$data/dLog.txt'"
check "the elevator was asked again" "[ \$(calls) = 2 ]"
check "the window still runs as $user" "[ \"\$(field Uid:)\" = '$uid $uid $uid $uid' ]"

say "close"
window_ended() { ! kill -0 "$window" 2>/dev/null; }
check "closing ends the window" "poll 60 window_ended"
window=""
exec 3>&-
report "narrow helper"

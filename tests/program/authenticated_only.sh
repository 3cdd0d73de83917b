#!/usr/bin/env bash
# "Use authenticated servers only" in the program as a whole (the window
# program, headless, and "/q"), in a private network namespace: the list
# holds an nts:// entry whose key exchange port has nothing listening, above
# a plain server (the scripted one, which counts the requests it answers).
# With the choice on, the plain server is never asked and the clock is left
# as it was; with it off, the plain server corrects it as before.
# Usage: authenticated_only.sh PROGRAM FAKE_SNTP
set -euo pipefail
if [ "${TAVREL_NTSONLY_NS:-}" != 1 ]; then
    if [ "$(id -u)" -eq 0 ]; then
        exec unshare -n env TAVREL_NTSONLY_NS=1 bash "$0" "$@"
    fi
    exec unshare -r -n env TAVREL_NTSONLY_NS=1 bash "$0" "$@"
fi
program=$(realpath "$1")
fake=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/checks.sh
source "$here/../support/checks.sh"
ip link set lo up

work=$(mktemp -d)
tavrel=""
fake_pid=""
cleanup() {
    [ -n "$tavrel" ] && kill "$tavrel" 2>/dev/null || true
    [ -n "$fake_pid" ] && kill "$fake_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME="$work/xdg" XDG_RUNTIME_DIR="$work" TAVREL_HEADLESS=1
export TAVREL_CLOCK_FILE="$work/clock"
refused='No authenticated server answered; plain servers not asked, clock not corrected'
within() { awk -v v="$1" -v want="$2" -v limit="$3" 'BEGIN { exit !(v != "" && v - want <= limit && want - v <= limit) }'; }
offset_seconds() { awk '{ printf "%.6f", ($1 + 0) / 1e7 }' "$TAVREL_CLOCK_FILE"; }

# The plain server, on the true time, waited for until it listens.
start_fake() {
    "$fake" 127.0.0.2 0 > "$work/fake.out" 2>&1 &
    fake_pid=$!
    poll 20 grep -q ready "$work/fake.out"
}
# Ends the plain server and sets `requests` to how many it answered. It runs
# in this shell, never in $(...): only here can it wait for the server to
# print its count before reading it.
stop_fake() {
    kill "$fake_pid"
    wait "$fake_pid" || true
    fake_pid=""
    requests=$(awk '/^requests/ { print $2 }' "$work/fake.out")
}
# A settings record: SNTP, errors and syncs logged, a time-out of 5 s,
# authenticated servers only as $1 (0 or 1).
settings_record() {
    {
        printf 'SYNC1400'
        head -c 500 /dev/zero
    } > "$work/vIvod.dat"
    poke() { printf "\\$(printf '%03o' "$2")" | dd of="$work/vIvod.dat" bs=1 seek=$((8 + $1)) conv=notrunc status=none; }
    poke 20 "$1"  # authenticated servers only
    poke 116 1    # SNTP
    poke 140 5    # time-out, seconds
    poke 356 1    # log syncs
    poke 364 1    # log errors
}
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
in_log() { grep -qF -- "$1" "$work/dLog.txt" 2>/dev/null; }

cp "$program" "$work/tavrel"
printf 'nts://127.0.0.1:9\r\n127.0.0.2\r\n' > "$work/ServFile.txt"

# On: a Correct asks the NTS entry alone and says why nothing was corrected.
settings_record 1
echo -200000000 > "$TAVREL_CLOCK_FILE"
start_fake
run_program
echo "command 3" >&3
check "a Correct says why nothing was corrected" "poll 90 in_log '$refused'"
end_program
check "the NTS entry was asked" "grep -q 'No response from nts://127.0.0.1:9' '$work/dLog.txt'"
check "the plain server is not named in the log" "! grep -q '127\\.0\\.0\\.2' '$work/dLog.txt'"
stop_fake
check "the plain server was never asked ($requests)" "[ '$requests' = 0 ]"
check "the clock is left 20 s behind ($(offset_seconds) s)" "within $(offset_seconds) -20 0.000001"

# "/q" keeps to the NTS entry too, and ends with a failure.
start_fake
status=0
(cd "$work" && exec ./tavrel /q > "$work/quick.out" 2>&1) || status=$?
check "/q fails" "[ $status != 0 ]"
check "/q says why nothing was corrected" "grep -qF '$refused' '$work/quick.out'"
stop_fake
check "/q never asked the plain server ($requests)" "[ '$requests' = 0 ]"
check "/q left the clock 20 s behind" "within $(offset_seconds) -20 0.000001"

# Off: past the failing NTS entry, the plain server corrects the clock.
rm -f "$work/dLog.txt"
settings_record 0
start_fake
run_program
echo "command 3" >&3
check "with the choice off a Correct ends corrected" "poll 90 in_log Tavreled"
end_program
stop_fake
check "the plain server was asked ($requests)" "[ '${requests:-0}' -gt 0 ]"
check "the clock is corrected ($(offset_seconds) s)" "within $(offset_seconds) 0 0.05"
check "and nothing is said of authenticated servers" "! in_log 'No authenticated server'"
report "authenticated servers only"

#!/usr/bin/env bash
# The service learns the clock's own rate, as the real program: the
# simulated clock runs 300 ppm fast (a clock 50 ppm off with AutoSync every
# 4 hours, squeezed into minutes), AutoSync every minute against chronyd in
# a private network namespace. Once three AutoSyncs (after the Correct at
# start) have taught it the rate, the error found just before each sync is
# under 5% of what it was before; a restart after a "reboot" (the kernel's
# correction gone) takes the rate up again from the drift file at once, so
# the first AutoSync after it finds under 5% too; and once another program changes
# the clock's frequency, the service leaves it alone and says so once.
# Usage: clock_rate.sh PROGRAM
set -euo pipefail
if [ "${TAVREL_RATE_NS:-}" != 1 ]; then
    bash "$(dirname "$0")/../support/peers.sh" peers_install
    exec unshare -m -n env TAVREL_RATE_NS=1 bash "$0" "$@"
fi
program=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/checks.sh
source "$here/../support/checks.sh"
# shellcheck source=../support/peers.sh
source "$here/../support/peers.sh"
peers_require chronyd
ip link set lo up
# shellcheck source=../support/names.sh
source "$here/../support/names.sh"
names_own

work=$(mktemp -d)
service=""
cleanup() {
    [ -n "$service" ] && kill "$service" 2>/dev/null || true
    peers_stop || true
    rm -rf "$work"
}
trap cleanup EXIT
CHECK_ON_FAIL=show_files
show_files() {
    grep ',Correct,' "$work/History.csv" 2>/dev/null | tail -6 || true
    cat "$work/clock" "$work/Drift.txt" 2>/dev/null || true
    tail -8 "$work/service.err" 2>/dev/null || true
}
mkdir -p "$work/xdg"
export TAVREL_CLOCK_FILE="$work/clock" XDG_CONFIG_HOME="$work/xdg" XDG_RUNTIME_DIR="$work"
unset NOTIFY_SOCKET TAVREL_RATE_CORRECTION
cp "$program" "$work/tavrel"
printf '127.0.0.1\r\n' > "$work/ServFile.txt"
word() {  # sets the settings record's 32-bit word at offset $1 to $2
    python3 -c 'import struct,sys; sys.stdout.buffer.write(struct.pack("<I", int(sys.argv[1])))' "$2" |
        dd of="$work/vIvod.dat" bs=1 seek=$((8 + $1)) conv=notrunc status=none
}
# SNTP, AutoSync every minute, syncs and errors logged, the time servers off.
{ printf 'SYNC1400'; head -c 500 /dev/zero; } > "$work/vIvod.dat"
word 100 1  # AutoSync on
word 104 1  # every 1
word 108 0  # minute
word 116 1  # SNTP
word 356 1  # log syncs
word 364 1  # log errors
start_service() {
    (cd "$work" && exec ./tavrel /x < /dev/null > "$work/service.out" 2>> "$work/service.err") &
    service=$!
}
stop_service() {
    kill -TERM "$service" 2>/dev/null || true
    wait "$service" 2>/dev/null || true
    service=""
}
# A clock that has just booted: no offset, running 300 ppm fast from now,
# no rate correction.
boot_clock() {
    python3 - "$work/clock" <<'PY'
import sys, time
now = int(time.time() * 10**7) + 116444736000000000
with open(sys.argv[1] + ".new", "w") as f:
    f.write("0 natural=300 base=%d\n" % now)
import os
os.replace(sys.argv[1] + ".new", sys.argv[1])
PY
}
# As another program would steer the clock's frequency: the correction
# becomes $1 ppm, the reading kept continuous.
steer_elsewhere() {
    python3 - "$work/clock" "$1" <<'PY'
import os, sys, time
path, ppm = sys.argv[1], float(sys.argv[2])
fields = open(path).read().split()
numbers = [int(f) for f in fields if "=" not in f]
named = dict(f.split("=", 1) for f in fields if "=" in f)
now = int(time.time() * 10**7) + 116444736000000000
base = int(named.get("base", "0"))
rate = float(named.get("natural", "0")) + float(named.get("correction", "0"))
if base:
    numbers[0] += int(rate * 1e-6 * (now - base))
named["correction"] = "%.3f" % ppm
named["base"] = str(now)
line = " ".join(str(n) for n in numbers)
line += " natural=%s correction=%s base=%s\n" % (named["natural"], named["correction"], named["base"])
with open(path + ".new", "w") as f:
    f.write(line)
os.replace(path + ".new", path)
PY
}
correction() {  # the clock's rate correction now, ppm
    python3 -c '
import sys
named = dict(f.split("=", 1) for f in open(sys.argv[1]).read().split() if "=" in f)
print(named.get("correction", "0"))' "$work/clock"
}
corrects() { grep -c ',Correct,.*,Corrected,' "$work/History.csv" 2>/dev/null || echo 0; }
corrects_at_least() { [ "$(corrects)" -ge "$1" ]; }
# The offset the Nth good Correct found (seconds), counted from the start
# of the History.
found() {
    grep ',Correct,.*,Corrected,' "$work/History.csv" | sed -n "$1p" | cut -d, -f6
}
# True when |$1| < $2 x |$3|.
within_share() { python3 -c 'import sys; a, s, b = map(float, sys.argv[1:]); sys.exit(0 if abs(a) < s * abs(b) else 1)' "$@"; }
magnitude_between() { python3 -c 'import sys; a, lo, hi = map(float, sys.argv[1:]); sys.exit(0 if lo <= abs(a) <= hi else 1)' "$@"; }
near() { python3 -c 'import sys; a, b, d = map(float, sys.argv[1:]); sys.exit(0 if abs(a - b) <= d else 1)' "$@"; }
rate_taken_up() { near "$(correction)" -300 5; }
rate_lines() { grep -c 'Clock rate left alone: another program steers it' "$work/service.err" || true; }

peers_start_chrony >/dev/null

# --- The rate learned: the Correct at start, then AutoSyncs a minute apart.
boot_clock
start_service
check "the Correct at start and four AutoSyncs within seven minutes" "poll 420 corrects_at_least 5"
before=$(found 2)  # the first AutoSync: a minute's drift, the rate not yet known
after=$(found 5)   # the fourth, after three had taught the rate
check "a minute's drift (18 ms) is found before the rate is known ($before s)" "magnitude_between $before 0.015 0.03"
check "after three AutoSyncs the error before a sync is under 5% of that ($after s)" "within_share $after 0.05 $before"
check "the log says the rate learned" "grep -Eq 'Clock rate corrected: \\+(29[0-9]|30[0-9])\\.[0-9] ppm ± [0-9]' '$work/service.err'"
check "the clock's rate is corrected by about -300 ppm" "near \"\$(correction)\" -300 5"
stop_service
check "a clean stop keeps the rate in the drift file" "near \"\$(cut -d' ' -f1 '$work/Drift.txt')\" 300 5"

# --- A reboot: the clock runs 300 ppm fast again and the kernel forgot the
# correction; the service takes the rate up from the drift file at start.
boot_clock
mark=$(corrects)
start_service
check "the drift file's rate is applied at start" "poll 30 rate_taken_up"
# The Correct at start finds the rebooted clock right; the AutoSync a
# minute later tells whether the rate was taken up.
check "the first AutoSync after the restart" "poll 180 corrects_at_least $((mark + 2))"
check "after the restart the error before the first AutoSync is under 5% of it" \
    "within_share \"\$(found $((mark + 2)))\" 0.05 $before"

# --- Another program steers the rate: left alone, said once.
steer_elsewhere 40
check "the next sync" "poll 150 corrects_at_least $((mark + 3))"
check "the log says the rate is left alone" "[ \"\$(rate_lines)\" = 1 ]"
check "the other program's correction stands" "near \"\$(correction)\" 40 0.001"
check "one sync more" "poll 150 corrects_at_least $((mark + 4))"
check "still said once only" "[ \"\$(rate_lines)\" = 1 ]"
check "and the correction still the other program's" "near \"\$(correction)\" 40 0.001"
stop_service

report "clock rate"

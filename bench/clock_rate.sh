#!/usr/bin/env bash
# How far the clock strays between syncs, with its rate learned and with
# that switched off (TAVREL_RATE_CORRECTION=0), measured in one run.
#
# Two Tavrel services run at once, each on a simulated clock of its own
# 300 ppm fast (a clock 50 ppm off with AutoSync every 4 hours, squeezed:
# AutoSync every minute), both against one chronyd serving the real clock in
# this script's private network namespace. Every 0.2 s the script reads how
# far each simulated clock is from the real one. The first run lasts
# MINUTES; its figure is the worst error from the fourth sync on (by then
# three syncs could teach the rate). Then both are "rebooted" (the clocks
# 300 ppm fast again, no rate correction left) and run MINUTES/2 more; that
# figure is the worst error over the whole second run. Prints both worst
# errors of each and their ratio (rate off / rate learned).
# Usage: bench/clock_rate.sh [BUILD_DIR] [MINUTES]   (MINUTES: 8)
set -euo pipefail
export LC_ALL=C
if [ "${TAVREL_BENCH_NETNS:-}" != 1 ]; then
    bash "$(dirname "$0")/../tests/support/peers.sh" peers_install
    exec unshare -m -n env TAVREL_BENCH_NETNS=1 bash "$0" "$@"
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build}")
minutes=${2:-8}
# shellcheck source=../tests/support/peers.sh
source "$root/tests/support/peers.sh"
peers_require chronyd
ip link set lo up
# shellcheck source=../tests/support/names.sh
source "$root/tests/support/names.sh"
names_own

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    peers_stop || true
    rm -rf "$work"
}
trap cleanup EXIT
unset NOTIFY_SOCKET TAVREL_RATE_CORRECTION

# One folder per service: the program, its settings (SNTP, AutoSync every
# minute, the time servers off), its list (chronyd) and its clock.
for who in learned off; do
    dir=$work/$who
    mkdir -p "$dir/xdg"
    cp "$build/tavrel" "$dir/tavrel"
    printf '127.0.0.1\r\n' > "$dir/ServFile.txt"
    python3 - "$dir/vIvod.dat" <<'PY'
import struct, sys
record = bytearray(500)
for offset, value in ((100, 1), (104, 1), (108, 0), (116, 1)):
    struct.pack_into("<I", record, offset, value)
open(sys.argv[1], "wb").write(b"SYNC1400" + record)
PY
done

boot_clocks() {  # both clocks as just booted: no offset, 300 ppm fast from now
    python3 - "$work/learned/clock" "$work/off/clock" <<'PY'
import os, sys, time
now = int(time.time() * 10**7) + 116444736000000000
for path in sys.argv[1:]:
    with open(path + ".new", "w") as f:
        f.write("0 natural=300 base=%d\n" % now)
    os.replace(path + ".new", path)
PY
}
start_services() {
    local who
    pids=()
    for who in learned off; do
        local dir=$work/$who
        (
            cd "$dir"
            export TAVREL_CLOCK_FILE=$dir/clock XDG_CONFIG_HOME=$dir/xdg XDG_RUNTIME_DIR=$dir
            [ "$who" = off ] && export TAVREL_RATE_CORRECTION=0
            exec ./tavrel /x < /dev/null > "$dir/service.out" 2>> "$dir/service.err"
        ) &
        pids+=($!)
    done
}
stop_services() {
    local pid
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    pids=()
}
syncs() { grep -c ',Correct,.*,Corrected,' "$work/$1/History.csv" 2>/dev/null || echo 0; }

# Samples both clocks' errors (seconds, the simulated clock less the real
# one, read from the clock files as the program reads them) every 0.2 s for
# $1 seconds; prints the worst magnitude of each, from the moment the file
# $2 exists (a flag the script raises) on.
sample() {
    python3 - "$1" "$2" "$work/learned/clock" "$work/off/clock" <<'PY'
import os, sys, time
seconds, flag, paths = float(sys.argv[1]), sys.argv[2], sys.argv[3:]
def error(path, real):
    try:
        fields = open(path).read().split()
    except OSError:
        return None
    numbers = [int(f) for f in fields if "=" not in f]
    named = dict(f.split("=", 1) for f in fields if "=" in f)
    if not numbers:
        return None
    units = numbers[0]
    if len(numbers) >= 4 and numbers[3] > 0:
        amount, start, duration = numbers[1:4]
        if real > start:
            units += amount if real - start >= duration else int(amount * (real - start) / duration)
    base = int(named.get("base", "0"))
    if base and real > base:
        rate = float(named.get("natural", "0")) + float(named.get("correction", "0"))
        units += int(rate * 1e-6 * (real - base))
    return units / 1e7
worst = [0.0] * len(paths)
end = time.monotonic() + seconds
while time.monotonic() < end:
    if os.path.exists(flag):
        real = int(time.time() * 10**7) + 116444736000000000
        for i, path in enumerate(paths):
            e = error(path, real)
            if e is not None:
                worst[i] = max(worst[i], abs(e))
    time.sleep(0.2)
print(" ".join("%.6f" % w for w in worst))
PY
}
# Raises $1 once both services have made $2 good Corrects.
flag_after() {
    until [ "$(syncs learned)" -ge "$2" ] && [ "$(syncs off)" -ge "$2" ]; do sleep 0.5; done
    touch "$1"
}

peers_start_chrony >/dev/null
first=$((minutes * 60))
second=$((minutes * 30))

boot_clocks
start_services
flag_after "$work/learnt" 4 &
flagger=$!
read -r learned1 off1 < <(sample "$first" "$work/learnt")
kill "$flagger" 2>/dev/null || true
stop_services
echo "first run: syncs learned $(syncs learned), off $(syncs off)" >&2

boot_clocks
touch "$work/restarted"
start_services
read -r learned2 off2 < <(sample "$second" "$work/restarted")
stop_services

ratio() { python3 -c 'import sys; a, b = map(float, sys.argv[1:]); print("%.1f" % (b / a) if a > 0 else "inf")' "$1" "$2"; }
ms() { python3 -c 'import sys; print("%.3f" % (float(sys.argv[1]) * 1000))' "$1"; }
echo "worst error between syncs, clock 300 ppm fast, AutoSync every minute (ms):"
echo "  rate learned, from the 4th sync:  $(ms "$learned1")   rate correction off: $(ms "$off1")   ratio $(ratio "$learned1" "$off1")"
echo "  after a restart, whole run:       $(ms "$learned2")   rate correction off: $(ms "$off2")   ratio $(ratio "$learned2" "$off2")"

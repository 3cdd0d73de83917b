#!/usr/bin/env bash
# The window program serving many clients and then told to end (SIGTERM,
# as at a session's end): the log's last summary counts every client and
# every request answered, none lost at the stop. Runs in a network
# namespace of its own on the real ports, on the simulated clock.
# Usage: served_stop.sh PROGRAM
set -euo pipefail
if [ "${TAVREL_SERVED_STOP_NS:-}" != 1 ]; then
    if [ "$(id -u)" -eq 0 ]; then
        exec unshare -m -n env TAVREL_SERVED_STOP_NS=1 bash "$0" "$@"
    fi
    exec unshare -r -m -n env TAVREL_SERVED_STOP_NS=1 bash "$0" "$@"
fi
program=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/checks.sh
source "$here/../support/checks.sh"
ip link set lo up
# shellcheck source=../support/names.sh
source "$(dirname "$0")/../support/names.sh"
names_own

work=$(mktemp -d)
running=""
cleanup() {
    [ -n "$running" ] && kill "$running" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
export TAVREL_CLOCK_FILE="$work/clock" XDG_CONFIG_HOME="$work/xdg" XDG_RUNTIME_DIR="$work" TAVREL_HEADLESS=1
# The clock counts as kept by a daemon, so that the replies are good ones.
echo "1 1000 500" > "$work/clock.sync"

cp "$program" "$work/tavrel"
printf '127.0.0.1\r\n' > "$work/ServFile.txt"
{ printf 'SYNC1400'; head -c 500 /dev/zero; } > "$work/vIvod.dat"
printf '\001' | dd of="$work/vIvod.dat" bs=1 seek=$((8 + 124)) conv=notrunc status=none  # servers on
printf '\001' | dd of="$work/vIvod.dat" bs=1 seek=$((8 + 356)) conv=notrunc status=none  # syncs logged
(cd "$work" && exec ./tavrel < /dev/null > "$work/out" 2>&1) &
running=$!

# 2,000 clients (each its own address), 5 requests each, one at a time;
# prints how many were answered. The first waits for the server to come up.
answered=$(python3 - <<'PY'
import socket, time
def ask(s):
    s.sendto(b'\x23' + bytes(47), ('127.0.0.1', 123))
    try:
        return len(s.recv(100)) == 48
    except OSError:
        return False
probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
probe.bind(('127.9.9.9', 0))
probe.settimeout(0.2)
end = time.time() + 30
while not ask(probe) and time.time() < end:
    time.sleep(0.2)
answered = 1
for i in range(2000):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(('127.1.%d.%d' % (i // 250, 1 + i % 250), 0))
    s.settimeout(2)
    answered += sum(ask(s) for _ in range(5))
    s.close()
print(answered)
PY
)
kill -TERM "$running"
ended() { ! kill -0 "$running" 2>/dev/null; }
check "the program ends at SIGTERM" "poll 60 ended"
running=""

log="$work/dLog.txt"
single=$(grep -c 'SNTP Server Tavreled 127\.' "$log" || true)
summary_requests=$(sed -n 's/.*SNTP Server Tavreled \([0-9]*\) requests from.*/\1/p' "$log" | awk '{ s += $1 } END { print s + 0 }')
clients=$(sed -n 's/.*SNTP Server Tavreled [0-9]* requests from \(about \)\{0,1\}\([0-9]*\) clients.*/\2/p' "$log" | tail -n 1)
check "every request was answered ($answered of 10001)" "[ $answered -eq 10001 ]"
check "the log counts every request answered ($single lines and $summary_requests in summaries)" \
      "[ $((single + summary_requests)) -ge $answered ]"
check "the last summary counts the clients within 5% of 2,000 (${clients:-none})" \
      "[ -n '$clients' ] && [ $clients -ge 1900 ] && [ $clients -le 2100 ]"
report "served clients counted at the stop"

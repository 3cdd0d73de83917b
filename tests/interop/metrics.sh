#!/usr/bin/env bash
# The service's figures as Prometheus's node exporter reads them: the
# service (run by hand in the foreground, with a state folder of its own)
# corrects its simulated clock, 5 s ahead, against chronyd and writes
# tavrel.prom into a folder; Debian's prometheus-node-exporter, its
# textfile collector pointed there, serves them on loopback, with no
# complaint about their format, and they match the History's last row.
# Usage: metrics.sh PROGRAM
set -euo pipefail
if [ "${TAVREL_METRICS_NETNS:-}" != 1 ]; then
    # The peers are unpacked (downloaded once) while the network is still there.
    bash "$(dirname "$0")/../support/peers.sh" peers_install
    exec unshare -m -n env TAVREL_METRICS_NETNS=1 bash "$0" "$@"
fi
program=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/checks.sh
source "$here/../support/checks.sh"
# shellcheck source=../support/peers.sh
source "$here/../support/peers.sh"
peers_require chronyd prometheus-node-exporter
ip link set lo up
# shellcheck source=../support/names.sh
source "$(dirname "$0")/../support/names.sh"
names_own

work=$(mktemp -d)
service=""
exporter=""
cleanup() {
    [ -n "$service" ] && kill "$service" 2>/dev/null || true
    [ -n "$exporter" ] && kill "$exporter" 2>/dev/null || true
    peers_stop
    rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME="$work/xdg" XDG_RUNTIME_DIR="$work" TAVREL_CLOCK_FILE="$work/clock"
echo 50000000 > "$work/clock"  # 5 s ahead
mkdir "$work/state" "$work/metrics"
printf '127.0.0.1\r\n' > "$work/state/ServFile.txt"
cp "$program" "$work/tavrel"

peers_start_chrony >/dev/null
(cd "$work" && exec env -u NOTIFY_SOCKET STATE_DIRECTORY="$work/state" TAVREL_METRICS_DIR="$work/metrics" \
    ./tavrel /x </dev/null >/dev/null 2>"$work/service.err") &
service=$!
corrected() { grep -q ',Corrected,' "$work/state/History.csv" 2>/dev/null && [ -f "$work/metrics/tavrel.prom" ]; }
check "the service corrects the clock and writes its figures" "poll 60 corrected"

prometheus-node-exporter --web.listen-address=127.0.0.1:9100 --collector.disable-defaults \
    --collector.textfile --collector.textfile.directory="$work/metrics" >"$work/exporter.log" 2>&1 &
exporter=$!
scrape() {
    python3 -c 'import sys, urllib.request; sys.stdout.write(urllib.request.urlopen("http://127.0.0.1:9100/metrics", timeout=5).read().decode())' \
        > "$work/scrape" 2>/dev/null && grep -q '^tavrel_' "$work/scrape"
}
check "the node exporter serves the tavrel_ figures" "poll 30 scrape"
value() { awk -v name="$1" '$1 == name { print $2 }' "$work/scrape"; }
check "the collector read the file without complaint" "[ \"$(value node_textfile_scrape_error)\" = 0 ]"

row=$(grep ',Corrected,' "$work/state/History.csv" | tail -n 1)
offset=$(echo "$row" | cut -d, -f6)
round_trip_ms=$(echo "$row" | cut -d, -f7)
near() { awk -v a="$1" -v b="$2" -v d="$3" 'BEGIN { exit !(a != "" && b != "" && a - b <= d && b - a <= d) }'; }
check "the offset is the History's ($(value tavrel_last_offset_seconds) against $offset)" \
      "near \"$(value tavrel_last_offset_seconds)\" \"$offset\" 0.001"
check "about 5 s behind the server" "near \"$offset\" -5 0.1"
check "the round trip is the History's ($(value tavrel_last_round_trip_seconds) s, $round_trip_ms ms)" \
      "near \"$(value tavrel_last_round_trip_seconds)\" \"$(awk -v ms="$round_trip_ms" 'BEGIN { print ms / 1000 }')\" 0.0015"
# (The exporter writes large figures in exponent form.)
check "the last success is recent ($(value tavrel_last_success_timestamp_seconds))" \
      "near \"$(value tavrel_last_success_timestamp_seconds)\" \"$(date +%s)\" 120"
check "no failure since the start" "[ \"$(value tavrel_failures_total)\" = 0 ]"
check "the clock counts as synchronised" "[ \"$(value tavrel_clock_synchronised)\" = 1 ]"
check "the served requests are there by protocol" \
      "grep -q '^tavrel_served_requests_total{protocol=\"sntp\"} ' '$work/scrape'"
check "the file is for every reader" "[ \"\$(stat -c %a '$work/metrics/tavrel.prom')\" = 644 ]"
report "metrics for the node exporter"

#!/usr/bin/env bash
# Tavrel.exe "/q" under Wine against chronyd on loopback, on the simulated
# clock 0.3 s ahead (a change small enough to slew, with slewing on): the
# program ends with the whole correction made, and its line says it was
# stepped. (A slew would be cut off as the program ends.)
# Usage: quick_step.sh BUILD_DIR
set -euo pipefail
if [ "${TAVREL_WINE_NETNS:-}" != 1 ]; then
    # The peers are unpacked (downloaded once) while the network is still there.
    bash "$(dirname "$0")/../support/peers.sh" peers_install
    exec unshare -m -n env TAVREL_WINE_NETNS=1 bash "$0" "$@"
fi
build=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/checks.sh
source "$here/../support/checks.sh"
# shellcheck source=wine_session.sh
source "$here/wine_session.sh"
ip link set lo up
# shellcheck source=../support/names.sh
source "$(dirname "$0")/../support/names.sh"
names_own
# shellcheck source=../support/peers.sh
source "$here/../support/peers.sh"
peers_stop_on_exit
peers_start_chrony

cleanup() {
    wine_program_stop
    peers_stop
}
trap cleanup EXIT

wine_program_start
# SNTP (protocol 1 at byte 116), and the corrections logged (byte 356).
python3 - "$work/program/vIvod.dat" <<'PY'
import sys
path = sys.argv[1]
data = bytearray(open(path, 'rb').read())
data[8 + 116] = 1
data[8 + 356] = 1
open(path, 'wb').write(bytes(data))
PY
echo 3000000 > "$work/clock"  # 0.3 s ahead
status=0
(cd "$work/program" && wine Tavrel.exe /q </dev/null >"$work/quick.out" 2>&1) || status=$?
tr -d '\r' < "$work/quick.out" > "$work/quick.txt"
check "/q corrects the clock (status $status)" "[ $status = 0 ]"
# The simulated clock's file: the offset alone, without a slew still to run.
check "no slew is left to run" "[ \$(wc -w < '$work/clock') = 1 ]"
check "the whole 0.3 s is made up" \
      "awk '{ exit !(\$1 > -200000 && \$1 < 200000) }' '$work/clock'"
check "its line says it stepped" "grep -q '^Tavreled, ' '$work/quick.txt'"
check "and the log too" "grep -q ' : Tavreled' '$work/program/dLog.txt' && ! grep -q Slewing '$work/program/dLog.txt'"
[ "$failed" -eq 0 ] || cat "$work/quick.txt" "$work/clock" "$work/program/dLog.txt" 2>/dev/null || true

report "Tavrel.exe /q under Wine"

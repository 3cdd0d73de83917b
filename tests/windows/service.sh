#!/usr/bin/env bash
# Tavrel.exe as a Windows service under Wine's service manager: registered,
# started and stopped through the program's own service code
# (service_control.exe), logging "Started Service, " and "Service Stopped",
# and removed again.
# Usage: service.sh BUILD_DIR
set -euo pipefail
if [ "${TAVREL_WINE_NETNS:-}" != 1 ]; then
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

holder=""
cleanup() {
    [ -n "$holder" ] && kill "$holder" 2>/dev/null || true
    wine_program_stop
}
trap cleanup EXIT

wine_program_start
control() { (cd "$work/program" && wine service_control.exe "$@" </dev/null >>"$work/control.out" 2>&1); }
log_has() { grep -q "$1" "$work/program/dLog.txt" 2>/dev/null; }

# Wine ends its session, services and all, a moment after the last ordinary
# program has ended: something must run for as long as the test does.
(cd "$work/program" && exec wine window_probe.exe hold 600 </dev/null >/dev/null 2>&1) &
holder=$!

control install
check "the service is registered, not running" "control wait-state stopped 60"
service_key='HKLM\System\CurrentControlSet\Services\tavrel'
reg() { wine reg query "$@" </dev/null 2>/dev/null | tr -d '\r'; }
# (Wine's service manager does not keep the delayed start, so it is not
# looked for here.)
check "it starts automatically with no dependencies" \
      "reg '$service_key' /v Start | grep -q 0x2 && ! reg '$service_key' /v DependOnService | grep -q REG_"
control start
check "the service starts" "control wait-state running 60"
check "the service logs its start" "poll 60 log_has 'Started Service, '"
control stop
check "the service stops" "control wait-state stopped 60"
check "the service logs its stop" "poll 60 log_has 'Service Stopped'"
check "it started once" "[ \$(grep -c 'Started Service, ' '$work/program/dLog.txt') = 1 ]"
check "the clock was left alone" "[ \"\$(cat '$work/clock')\" = 1000000000 ]"
control remove
check "the service is removed" "control wait-state removed 60"

run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
control logon 2
check "the start at logon is the value Tavrel.exe, with /q" \
      "reg '$run_key' /v Tavrel.exe | grep -q 'Tavrel.exe\" /q'"
control logon 0
check "and goes again" "! reg '$run_key' /v Tavrel.exe | grep -q REG_SZ"
[ "$failed" -eq 0 ] || cat "$work/control.out" "$work/program/dLog.txt" 2>/dev/null || true

report "Tavrel.exe service under Wine"

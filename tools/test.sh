#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: an
# AddressSanitizer/UBSan build, a ThreadSanitizer build, the fuzzers for a
# short bounded time, the plain build, and last Tavrel.exe under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

# The machine as found: its installed packages, its services' unit states
# and (under systemd) the services running. At the end every one of them
# must still be so; the tests may add packages but never remove or change.
machine_state() {
    dpkg-query -W -f='package ${Package}:${Architecture} ${Status}\n' | awk '$5 == "installed" {print $1, $2}'
    systemctl list-unit-files --type=service --no-legend --no-pager 2>/dev/null | awk '{print "unit", $1, $2}'
    if [ -d /run/systemd/system ]; then
        systemctl list-units --type=service --state=running --no-legend --no-pager --plain 2>/dev/null |
            awk '{print "running", $1}'
    fi
}
state_before=$(mktemp)
machine_state | sort > "$state_before"
check_machine_state() {
    local changed
    changed=$(comm -23 "$state_before" <(machine_state | sort))
    rm -f "$state_before"
    if [ -n "$changed" ]; then
        echo "The tests changed the machine; no longer so:"
        echo "$changed"
        return 1
    fi
    echo "Every package and service found before the tests is as it was."
}

bash tools/install-deps.sh

jobs=$(nproc)
# Every Linux build treats warnings as errors; the ThreadSanitizer build is
# clang's, the others GCC's, so the code stays clean under both.
configure() {
    local dir=$1; shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON -DTAVREL_WERROR=ON "$@" >/dev/null
}
run_suite() {
    local dir=$1; shift
    configure "$dir" "$@"
    cmake --build "$dir" -j"$jobs"
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 600 -LE fuzz
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1}
run_suite build-asan -DTAVREL_SANITIZE=address,undefined
CC=clang CXX=clang++ run_suite build-tsan -DTAVREL_SANITIZE=thread

CC=clang CXX=clang++ configure build-fuzz -DTAVREL_FUZZ=ON -DTAVREL_SANITIZE=address,undefined
cmake --build build-fuzz -j"$jobs" --target strings_fuzz server_list_fuzz settings_fuzz reply_fuzz tzif_fuzz zone_rule_fuzz request_fuzz history_fuzz \
    nts_ke_fuzz nts_fields_fuzz
ctest --test-dir build-fuzz --output-on-failure -j"$jobs" -L fuzz

run_suite build

# Tavrel.exe: cross-built with MinGW-w64, its tests run under Wine in a
# session of their own (the GUI and service tests make their own). The
# screenshots stay in build-windows/artifacts.
bash tools/build-windows.sh -j"$jobs"
# shellcheck source=../tests/support/wine.sh
source tests/support/wine.sh
wine_prefix=$(mktemp -d)
wine_start "$wine_prefix"
windows_status=0
ctest --test-dir build-windows --output-on-failure -j"$jobs" --timeout 600 || windows_status=$?
wine_stop
rm -rf "$wine_prefix"
check_machine_state
exit "$windows_status"

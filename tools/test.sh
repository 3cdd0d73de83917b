#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: an
# AddressSanitizer/UBSan build, a ThreadSanitizer build, the fuzzers for a
# short bounded time, the plain build, and last Tavrel.exe under Wine.
# Each of these is a stage; the first that fails ends the run, and the last
# line names every stage with its result (passed, failed, skipped, or
# interrupted), the check that the machine is as it was found included.
# The exit status is 0 only when every stage passed.
set -euo pipefail
cd "$(dirname "$0")/.."

# The machine as found: its installed packages, its services' unit states
# and (under systemd) the services running. At the end every one of them
# must still be so; the tests may add packages but never remove or change.
# dpkg is on every Debian; systemctl only once systemd is installed, which
# a fresh root or container may not have yet.
machine_state() {
    dpkg-query -W -f='package ${Package}:${Architecture} ${Status}\n' | awk '$5 == "installed" {print $1, $2}'
    command -v systemctl >/dev/null || return 0
    systemctl list-unit-files --type=service --no-legend --no-pager 2>/dev/null | awk '{print "unit", $1, $2}' || true
    if [ -d /run/systemd/system ]; then
        systemctl list-units --type=service --state=running --no-legend --no-pager --plain 2>/dev/null |
            awk '{print "running", $1}' || true
    fi
}
state_before=$(mktemp)
machine_state | sort > "$state_before"
check_machine_state() {
    local changed
    changed=$(comm -23 "$state_before" <(machine_state | sort))
    if [ -n "$changed" ]; then
        echo "The tests changed the machine; no longer so:"
        echo "$changed"
        return 1
    fi
    echo "Every package and service found before the tests is as it was."
}

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

stage_install() { bash tools/install-deps.sh; }
stage_asan() { run_suite build-asan -DTAVREL_SANITIZE=address,undefined; }
stage_tsan() { CC=clang CXX=clang++ run_suite build-tsan -DTAVREL_SANITIZE=thread; }
stage_fuzz() {
    CC=clang CXX=clang++ configure build-fuzz -DTAVREL_FUZZ=ON -DTAVREL_SANITIZE=address,undefined
    cmake --build build-fuzz -j"$jobs" --target strings_fuzz server_list_fuzz settings_fuzz reply_fuzz tzif_fuzz \
        zone_rule_fuzz request_fuzz history_fuzz nts_ke_fuzz nts_fields_fuzz nts_cookies_fuzz
    ctest --test-dir build-fuzz --output-on-failure -j"$jobs" -L fuzz
}
stage_plain() { run_suite build; }
# Tavrel.exe: cross-built with MinGW-w64, its tests run under Wine in a
# session of their own (the GUI and service tests make their own). The
# screenshots stay in build-windows/artifacts.
stage_windows() {
    bash tools/build-windows.sh -j"$jobs"
    # shellcheck source=../tests/support/wine.sh
    source tests/support/wine.sh
    wine_prefix=$(mktemp -d)
    trap 'wine_stop; rm -rf "$wine_prefix"' EXIT
    wine_start "$wine_prefix"
    # The Linux build's path relay counts Tavrel.exe's NTS-KE connections
    # in the NTS tests, as it counts the Linux program's.
    if [[ -x build/tests/path_relay ]]; then export TAVREL_TEST_PATH_RELAY=$PWD/build/tests/path_relay; fi
    ctest --test-dir build-windows --output-on-failure -j"$jobs" --timeout 600
}

# Each stage runs in a subshell of its own with errexit in force there (a
# function called from a condition would run with errexit off), so its
# first failing command ends it.
stages=(install asan tsan fuzz plain windows)
declare -A outcome=()
current=""
summary() {
    local status=$? line="" stage
    # Stopped in the middle of a stage (a signal, or the shell itself).
    [ -n "$current" ] && outcome[$current]=interrupted
    if [ -z "${outcome[machine-check]:-}" ]; then
        if check_machine_state; then outcome[machine-check]=passed; else outcome[machine-check]=failed; fi
    fi
    rm -f "$state_before"
    for stage in "${stages[@]}" machine-check; do
        line+="${line:+, }$stage ${outcome[$stage]:-skipped}"
    done
    echo "Stages: $line"
    for stage in "${stages[@]}" machine-check; do
        [ "${outcome[$stage]:-}" = passed ] || { [ "$status" -ne 0 ] || status=1; }
    done
    exit "$status"
}
trap summary EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

status=0
for stage in "${stages[@]}"; do
    current=$stage
    set +e
    (
        set -e
        "stage_$stage"
    )
    result=$?
    set -e
    current=""
    if [ "$result" -ne 0 ]; then
        outcome[$stage]=failed
        echo "Stage $stage failed (status $result); the stages after it are skipped."
        status=$result
        break
    fi
    outcome[$stage]=passed
done
# Whether or not every stage passed, the machine must be as it was found.
if check_machine_state; then outcome[machine-check]=passed; else outcome[machine-check]=failed; fi
exit "$status"

#!/usr/bin/env bash
# The clock helper (tavrel --apply-clock-change step|slew SECONDS), which
# pkexec runs as root for a window program without the right to set the
# clock: it refuses every argument list but the one form, applies a step or
# a slew to the simulated clock and says 0 only then, touches no file of the
# user's, and as root follows the simulated clock only into a folder that
# root alone may change.
# Usage: clock_helper.sh PROGRAM
set -euo pipefail
program=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/checks.sh
source "$here/../support/checks.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset LANG LC_ALL TAVREL_CLOCK_NO_RIGHT
# A portable copy beside its data folder, with nothing in it: the helper
# must leave it so (no settings, no strings, no log, no history).
mkdir "$work/portable"
cp "$program" "$work/portable/tavrel"
export XDG_CONFIG_HOME="$work/xdg" XDG_RUNTIME_DIR="$work" TAVREL_CLOCK_FILE="$work/clock"
helper() { (cd "$work/portable" && ./tavrel --apply-clock-change "$@") 2>"$work/err"; }
reset_clock() { echo 1234567 > "$TAVREL_CLOCK_FILE"; }
# The status of a helper run, which must not have changed the clock.
refused() {
    reset_clock
    local status=0
    helper "$@" || status=$?
    [ "$status" -ne 0 ] && [ "$(cat "$TAVREL_CLOCK_FILE")" = 1234567 ] && [ -s "$work/err" ]
}
offset() { awk '{ print $1 }' "$TAVREL_CLOCK_FILE"; }

for args in "" "step" "slew" "nudge 1" "step nan" "step NaN" "step inf" "step -inf" "step infinity" \
            "step 1e3" "step 0x10" "step 1,5" "step 1." "step .5" "step -" "step +" "step --1" "step 1.5s" \
            "step 0.12345678" "step 4294967297" "step -4294967296.0000001" "step 99999999999999999999999" \
            "slew 0.5000001" "slew -1" "step 1 2" "step 1 --help" "STEP 1" "step ١"; do
    # shellcheck disable=SC2086
    check "refuses: ${args:-no arguments}" "refused $args"
done
check "refuses a blank in the figure" "refused step ' 1'"
check "refuses an empty figure" "refused step ''"
check "the refusal says why" "refused step nan && grep -q 'digits' '$work/err'"

reset_clock
check "a step of -1.5 s is applied and says 0" "helper step -1.5"
check "the step moved the clock by exactly -1.5 s" "[ \"\$(offset)\" = \$((1234567 - 15000000)) ]"
reset_clock
check "the largest step is applied" "helper step 4294967296"
check "the largest step moved the clock so far" "[ \"\$(offset)\" = \$((1234567 + 42949672960000000)) ]"
reset_clock
check "a step of one unit is applied" "helper step 0.0000001"
check "that step moved the clock by one unit" "[ \"\$(offset)\" = 1234568 ]"
reset_clock
check "a slew of 0.25 s is applied and says 0" "helper slew 0.25"
# The file: the offset so far, then the slew's amount, start and duration.
check "the slew is recorded with its amount, not stepped" \
    "awk '{ exit !(\$1 == 1234567 && \$2 == 2500000 && \$4 > 0) }' '$TAVREL_CLOCK_FILE'"
check "the helper left no file of the user's" \
    "[ \"\$(ls -A '$work/portable')\" = tavrel ] && [ ! -e '$work/xdg' ]"

reset_clock
check "without the right it says so and fails" "! TAVREL_CLOCK_NO_RIGHT=1 helper step 1 && [ \"\$(offset)\" = 1234567 ]"

if [ "$(id -u)" -eq 0 ]; then
    # Root: only a folder that root alone may change holds its clock file.
    for mode in user 0777 1777 0770; do
        dir="$work/$mode"
        mkdir "$dir"
        if [ $mode = user ]; then chown nobody "$dir"; else chmod $mode "$dir"; fi
        echo 55 > "$dir/clock"
        status=0
        TAVREL_CLOCK_FILE="$dir/clock" helper step 1 || status=$?
        check "as root, a clock file in a folder others may change is refused ($mode)" \
            "[ $status -ne 0 ] && [ \"\$(cat '$dir/clock')\" = 55 ] && grep -q 'refused' '$work/err'"
    done
    mkdir -m 0700 "$work/root-only"
    echo 55 > "$work/root-only/clock"
    check "as root, a clock file in root's own folder is used" \
        "TAVREL_CLOCK_FILE='$work/root-only/clock' helper step 1 && [ \"\$(awk '{print \$1}' '$work/root-only/clock')\" = 10000055 ]"
else
    echo "SKIP: the cases run as root need root"
fi

report "clock helper"

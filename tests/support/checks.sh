# shellcheck shell=bash
# Counting checks for the test scripts: `check DESCRIPTION CONDITION` runs
# the condition and counts it; `report NAME` prints "NAME: N passed, N
# failed" and fails when any check failed. CHECK_ON_FAIL names a command to
# run after a failed check (for instance one that prints the screen).

passed=0
failed=0
CHECK_ON_FAIL=${CHECK_ON_FAIL:-}

check() {
    if eval "$2"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $1"
        [ -z "$CHECK_ON_FAIL" ] || "$CHECK_ON_FAIL"
    fi
}

report() {
    echo "$1: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}

# Polls a command until it succeeds, for at most $1 seconds.
poll() {
    local limit=$1
    shift
    local end=$((SECONDS + limit))
    until "$@"; do
        [ "$SECONDS" -lt "$end" ] || return 1
        sleep 0.1
    done
}

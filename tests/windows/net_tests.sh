#!/usr/bin/env bash
# Runs the network tests' Windows program in a private network namespace
# with a Wine session of its own. Wine's server makes the sockets of every
# program in its session, so a session started outside the namespace would
# put the tests' time ports on the machine's own loopback, where whatever
# else holds 37 or 123 there takes their traffic.
# Usage: net_tests.sh NET_TESTS_EXE CLOCK_FILE [gtest arguments...]
set -euo pipefail
if [ "${TAVREL_WINE_NETNS:-}" != 1 ]; then
    exec unshare -m -n env TAVREL_WINE_NETNS=1 bash "$0" "$@"
fi
program=$1
clock=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/wine.sh
source "$here/../support/wine.sh"
ip link set lo up
# shellcheck source=../support/names.sh
source "$(dirname "$0")/../support/names.sh"
names_own
prefix=$(mktemp -d)
trap 'wine_stop; rm -rf "$prefix"' EXIT
wine_start "$prefix"
status=0
TAVREL_CLOCK_FILE=$clock wine "$program" "$@" </dev/null || status=$?
exit "$status"

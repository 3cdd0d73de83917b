#!/usr/bin/env bash
# Runs the program from a new empty folder (portable mode) and checks the
# files it lays out there.
set -euo pipefail
program=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$program" "$work/tavrel"
export TAVREL_CLOCK_FILE="$work/clock"
export XDG_CONFIG_HOME="$work/xdg" XDG_RUNTIME_DIR="$work"
fail() { echo "FAIL: $*"; exit 1; }

# Help and version answer at once, with status 0, and lay out no files.
for ask in --help -h; do
    out=$(cd "$work" && timeout 20 ./tavrel "$ask" </dev/null) || fail "$ask did not exit 0"
    for word in "Usage: tavrel" "/q" "/s" "/x" "/z" vIvod.dat ServFile.txt TAVREL_CLOCK_FILE \
        TAVREL_METRICS_DIR TAVREL_SERVER_RATE_LIMIT TAVREL_NTS_CA_FILE TAVREL_SERVICE_STATE_DIR; do
        grep -qF -- "$word" <<<"$out" || fail "$ask does not mention $word"
    done
    wide=$(awk 'length > 80' <<<"$out")
    [ -z "$wide" ] || fail "$ask has lines wider than 80 columns: $wide"
done
out=$(cd "$work" && timeout 20 ./tavrel --version </dev/null) || fail "--version did not exit 0"
[[ $out =~ ^Tavrel\ [0-9]+\.[0-9]+ ]] || fail "--version printed: $out"
[ "$(ls -A "$work")" = tavrel ] || fail "help or version wrote files: $(ls -A "$work")"

# The window program on the headless backend, ended by its Exit command.
run() { (cd "$work" && echo "command 2" | TAVREL_HEADLESS=1 timeout 60 ./tavrel >/dev/null 2>&1); }
run || { echo "program failed"; exit 1; }

[ -f "$work/Strings.txt" ] || fail "no Strings.txt"
head -c 7 "$work/Strings.txt" | cmp -s - <(printf 'Check\r\n') || fail "Strings.txt does not start with Check CR LF"
[ "$(grep -c $'\r$' "$work/Strings.txt")" = 250 ] || fail "Strings.txt should hold 250 CR LF lines"
[ "$(stat -c %s "$work/ServFile.txt")" = 678 ] || fail "ServFile.txt is not 678 bytes"
[ "$(tr -d '\r' < "$work/ServFile.txt" | grep -vc '#')" = 26 ] || fail "ServFile.txt should list 26 servers"
[ ! -e "$work/xdg" ] || fail "portable mode must not touch the application-data folder"
[ "$(stat -c %s "$work/vIvod.dat")" = 508 ] || fail "Exit should save a 508-byte vIvod.dat"
[ "$(head -c 8 "$work/vIvod.dat")" = SYNC1400 ] || fail "vIvod.dat should begin SYNC1400"

# With DefSet.txt beside it, the program keeps its data in the user's folder.
touch "$work/DefSet.txt"
rm "$work/Strings.txt" "$work/ServFile.txt"
run || fail "installed run failed"
[ -f "$work/xdg/Brennow/Tavrel/Strings.txt" ] || fail "installed mode wrote no Strings.txt in the data folder"
[ -f "$work/ServFile.txt" ] || fail "the server list belongs beside the program when missing from both places"
# "/z" without the service ends at once, silently.
out=$(cd "$work" && env -u NOTIFY_SOCKET timeout 20 ./tavrel /z 2>&1) || fail "/z did not end by itself"
[ -z "$out" ] || fail "/z printed: $out"
# "/x" started by hand runs as the service in the foreground, says so and
# how to stop it, and stops at Ctrl-C. With no network at all, in a state
# folder of its own.
if [ "$(id -u)" -eq 0 ]; then
    mkdir "$work/state"
    (cd "$work" && exec env -u NOTIFY_SOCKET STATE_DIRECTORY="$work/state" unshare -n ./tavrel /x \
        </dev/null >/dev/null 2>"$work/by-hand.err") &
    service=$!
    said() { grep -q "runs Tavrel as the system service, here in the foreground" "$work/by-hand.err"; }
    for _ in $(seq 200); do said && break; sleep 0.1; done
    said || fail "/x by hand did not say what it does: $(cat "$work/by-hand.err")"
    grep -q "Ctrl-C" "$work/by-hand.err" || fail "/x by hand did not say how to stop it"
    kill -INT "$service"
    for _ in $(seq 200); do kill -0 "$service" 2>/dev/null || break; sleep 0.1; done
    ! kill -0 "$service" 2>/dev/null || { kill -KILL "$service"; fail "/x by hand did not stop at Ctrl-C"; }
    wait "$service" 2>/dev/null || true
    grep -q "Service Stopped" "$work/state/dLog.txt" || fail "/x by hand logged no stop"
fi
echo "first run: 5 passed, 0 failed"

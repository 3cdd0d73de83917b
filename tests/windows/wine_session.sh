# shellcheck shell=bash
# Shared by the scripts that run Tavrel.exe under Wine: a work folder that
# holds the program with a one-server list pointing at the local time
# service and a plain settings file, the simulated clock (Wine must never
# set the machine's own), and a Wine session of its own.
# Needs: build (the cross-built tree), here (this folder).

# shellcheck source=../support/wine.sh
source "$here/../support/wine.sh"

# A Unix path as Wine's Windows programs see it (drive Z: is the root).
windows_path() {
    local p
    p=$(realpath -m "$1")
    printf 'Z:%s' "${p//\//\\}"
}

# Makes $work and starts Wine in $work/prefix.
wine_program_start() {
    work=$(mktemp -d)
    mkdir "$work/program"
    cp "$build/Tavrel.exe" "$build/tests/windows/window_probe.exe" "$build/tests/windows/service_control.exe" \
        "$work/program/"
    printf '127.0.0.1\r\n' > "$work/program/ServFile.txt"
    { printf 'SYNC1400'; head -c 500 /dev/zero; } > "$work/program/vIvod.dat"
    cp "$work/program/vIvod.dat" "$work/initial-settings"
    echo 1000000000 > "$work/clock"  # 100 s ahead
    # Set before the session starts, so that the service manager and every
    # program it starts see it too.
    TAVREL_CLOCK_FILE=$(windows_path "$work/clock")
    export TAVREL_CLOCK_FILE
    wine_start "$work/prefix"
}

wine_program_stop() {
    if [ -n "${work:-}" ] && [ -d "$work" ]; then
        wine_environment "$work/prefix"
        wine_stop
        rm -rf "$work"
    fi
}

# The probe looks at the desktop that gui_smoke.sh's programs run on; its
# lines end in CR LF on a Windows console.
probe() {
    local status=0
    (cd "$work/program" && PROBE_DESKTOP=tavrel wine window_probe.exe "$@" </dev/null 2>>"$work/probe.err") \
        > "$work/probe.out" || status=$?
    tr -d '\r' < "$work/probe.out"
    return "$status"
}

# shellcheck shell=bash
#
# Real Debian time servers as test peers, on loopback, on the real ports.
#
# Source this file from a test script that runs as root inside its own network
# namespace (for example under `unshare -n`), then:
#
#   peers_install          install the packages the peers and probes need
#   peers_start_chrony     chronyd answering NTP/SNTP on 127.0.0.1:123
#   peers_start_time37     inetd's internal RFC 868 time service on 127.0.0.1:37
#   peers_stop             stop everything started here
#   peers_stop_on_exit     opt in to peers_stop from an EXIT trap
#                          (or set PEERS_STOP_ON_EXIT=1 before sourcing)
#
# Neither daemon may ever set a clock: both run with CAP_SYS_TIME removed from
# their capability bounding and inheritable sets, chronyd also runs with -x (no
# clock control), and the start functions refuse to run in the host's network
# namespace so nothing is ever exposed beyond a test's private loopback.
#
# Tunables (environment): PEERS_ADDR (127.0.0.1), PEERS_WAIT_SECONDS (20),
# PEERS_CHRONY_STRATUM (8 -- the stratum chronyd serves from its local clock;
# clients see it one higher).
#
# Never run the client tools in their clock-setting forms: `ntpdate` only with
# -q, `sntp` never with -s/-S, `rdate` only with -p.

PEERS_ADDR=${PEERS_ADDR:-127.0.0.1}
PEERS_WAIT_SECONDS=${PEERS_WAIT_SECONDS:-20}
PEERS_CHRONY_STRATUM=${PEERS_CHRONY_STRATUM:-8}

PEERS_DIR=${PEERS_DIR:-}
PEERS_CHRONY_PID=${PEERS_CHRONY_PID:-}
PEERS_TIME37_PID=${PEERS_TIME37_PID:-}

# Packages whose programs are used here or by the tests that source this file.
PEERS_PACKAGES=(chrony openbsd-inetd rdate sntp ntpdate busybox iproute2 util-linux)

_peers_log() { printf 'peers: %s\n' "$*" >&2; }

# ---------------------------------------------------------------------------
# Installation

_peers_missing_packages() {
    local p
    for p in "${PEERS_PACKAGES[@]}"; do
        [[ $(dpkg-query -W -f='${Status}' "$p" 2>/dev/null) == "install ok installed" ]] \
            || printf '%s\n' "$p"
    done
}

# Runs apt-get with a policy-rc.d that forbids every service action, so no
# package starts (or stops) a daemon on the host, then puts back whatever
# policy-rc.d was there before. Runs in a subshell so its traps stay local.
_peers_apt_install() (
    local policy=/usr/sbin/policy-rc.d saved=/usr/sbin/policy-rc.d.tavrel-peers
    restore() {
        if [[ -e $saved ]]; then mv -f "$saved" "$policy"; else rm -f "$policy"; fi
    }
    [[ -e $policy ]] && cp -p "$policy" "$saved"
    trap restore EXIT
    trap 'exit 130' INT TERM HUP
    printf '#!/bin/sh\n# Written by tests/support/peers.sh for the length of one install.\nexit 101\n' >"$policy"
    chmod 755 "$policy"

    export DEBIAN_FRONTEND=noninteractive
    local -a apt=(apt-get -q -y -o DPkg::Lock::Timeout=600
                  -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold)
    "${apt[@]}" update >/dev/null || exit 1
    "${apt[@]}" install --no-install-recommends "$@"
)

# Keeps a newly installed package's daemons from starting at boot. Only the
# packages installed here are touched, never one the host already had.
_peers_disable_boot_services() {
    local unit
    for unit in "$@"; do
        if command -v systemctl >/dev/null; then
            systemctl disable "$unit.service" >/dev/null 2>&1 || true
        fi
        if [[ -e /etc/init.d/$unit ]] && command -v update-rc.d >/dev/null; then
            update-rc.d "$unit" disable >/dev/null 2>&1 || true
        fi
    done
}

# ntpsec-ntpdate ships network hooks that run ntpdate-debian (which sets the
# clock from public servers) whenever an interface comes up or a DHCP lease
# arrives. Removing these conffiles keeps them gone across upgrades.
_peers_remove_ntpdate_hooks() {
    local f
    for f in $(dpkg-query -L ntpsec-ntpdate 2>/dev/null); do
        case $f in
            /etc/network/if-up.d/* | /etc/dhcp/dhclient-exit-hooks.d/* | \
            /etc/NetworkManager/dispatcher.d/* | /etc/networkd-dispatcher/*/* | \
            /usr/lib/networkd-dispatcher/*/* | /etc/ppp/ip-up.d/*)
                [[ -f $f ]] && rm -f "$f"
                ;;
        esac
    done
}

# Installs whatever is missing; returns at once when everything is there.
# Serialized with a lock so parallel test scripts do not race on dpkg.
peers_install() {
    local -a missing
    mapfile -t missing < <(_peers_missing_packages)
    ((${#missing[@]} == 0)) && return 0
    if ((EUID != 0)); then
        _peers_log "installing ${missing[*]} needs root"
        return 1
    fi

    (
        flock -w 900 9 || { _peers_log "timed out waiting for the install lock"; exit 1; }
        mapfile -t missing < <(_peers_missing_packages)
        ((${#missing[@]} == 0)) && exit 0
        _peers_log "installing ${missing[*]}"
        _peers_apt_install "${missing[@]}" >&2 || exit 1
        local p
        for p in "${missing[@]}"; do
            case $p in
                chrony)
                    _peers_disable_boot_services chrony
                    # Its maintainer scripts must not have left a daemon behind.
                    _peers_kill_host_chronyd
                    ;;
                openbsd-inetd) _peers_disable_boot_services inetd openbsd-inetd ;;
                ntpdate) _peers_remove_ntpdate_hooks ;;
            esac
        done
        [[ -z $(_peers_missing_packages) ]]
    ) 9>/var/lock/tavrel-peers-install.lock
}

# Stops a chronyd that runs as the host's service (pidfile /run/chrony/),
# which only an install could have started; ours keep their pidfile elsewhere.
_peers_kill_host_chronyd() {
    local pid
    pid=$(cat /run/chrony/chronyd.pid 2>/dev/null) || return 0
    if [[ $pid =~ ^[0-9]+$ ]] && _peers_is "$pid" chronyd; then
        _peers_log "stopping chronyd $pid that the chrony install started"
        _peers_kill "$pid"
    fi
}

# ---------------------------------------------------------------------------
# Process helpers

# True when pid is alive (not a zombie) and runs the named program.
_peers_is() {
    local pid=$1 name=$2 comm state
    comm=$(cat "/proc/$pid/comm" 2>/dev/null) || return 1
    state=$(awk '/^State:/ {print $2}' "/proc/$pid/status" 2>/dev/null)
    [[ $comm == "$name" && $state != Z ]]
}

_peers_gone() {
    local state
    [[ -e /proc/$1 ]] || return 0
    state=$(awk '/^State:/ {print $2}' "/proc/$1/status" 2>/dev/null)
    [[ -z $state || $state == Z ]]
}

# TERM, then KILL if it has not gone within the wait; never blocks unbounded.
_peers_kill() {
    local pid=$1 deadline=$((SECONDS + PEERS_WAIT_SECONDS))
    kill -TERM "$pid" 2>/dev/null || return 0
    while ! _peers_gone "$pid"; do
        if ((SECONDS >= deadline)); then
            kill -KILL "$pid" 2>/dev/null
            break
        fi
        sleep 0.1
    done
}

# The daemon's capability sets must lack CAP_SYS_TIME (bit 25).
_peers_check_no_sys_time() {
    local pid=$1 field value
    for field in CapBnd CapPrm CapEff CapInh CapAmb; do
        value=$(awk -v f="$field:" '$1 == f {print $2}' "/proc/$pid/status" 2>/dev/null)
        [[ -n $value ]] || continue
        if (((16#$value >> 25) & 1)); then
            _peers_log "pid $pid still has CAP_SYS_TIME in $field ($value)"
            return 1
        fi
    done
}

# Refuses to start a server in the host's network namespace.
_peers_check_private_netns() {
    if [[ $(readlink /proc/self/ns/net) == "$(readlink /proc/1/ns/net)" ]]; then
        _peers_log "refusing to start servers outside a private network namespace (use unshare -n)"
        return 1
    fi
    ip link set lo up 2>/dev/null || true
}

_peers_make_dir() {
    if [[ -z $PEERS_DIR || ! -d $PEERS_DIR ]]; then
        PEERS_DIR=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-peers.XXXXXX") || return 1
    fi
}

# Polls "$@" until it succeeds or PEERS_WAIT_SECONDS pass; fails early when
# the daemon (pid) has died.
_peers_wait_for() {
    local pid=$1 name=$2; shift 2
    local deadline=$((SECONDS + PEERS_WAIT_SECONDS))
    while :; do
        "$@" >/dev/null 2>&1 && return 0
        if ! _peers_is "$pid" "$name"; then
            _peers_log "$name exited before it answered"
            return 1
        fi
        if ((SECONDS >= deadline)); then
            _peers_log "$name did not answer within ${PEERS_WAIT_SECONDS}s"
            return 1
        fi
        sleep 0.2
    done
}

# Runs a capability-limited daemon in the background with its output in a log.
# Prints the pid; disowned so the shell does not report its death later.
_peers_spawn() {
    local log=$1; shift
    setpriv --bounding-set -sys_time --inh-caps -sys_time -- "$@" \
        </dev/null >>"$log" 2>&1 &
    local pid=$!
    disown "$pid" 2>/dev/null || true
    printf '%s\n' "$pid"
}

# ---------------------------------------------------------------------------
# chronyd: NTP server on PEERS_ADDR:123 serving its local clock.

_peers_chrony_answers() {
    timeout 10 sntp -t 2 "$PEERS_ADDR"
}

peers_start_chrony() {
    if [[ -n $PEERS_CHRONY_PID ]] && _peers_is "$PEERS_CHRONY_PID" chronyd; then
        return 0
    fi
    _peers_check_private_netns || return 1
    _peers_make_dir || return 1
    local dir=$PEERS_DIR/chrony
    mkdir -p "$dir" && chmod 700 "$dir"
    cat >"$dir/chrony.conf" <<EOF
# Test peer: serve the local clock, never follow any source, never touch the
# clock or the RTC, and keep every file in this folder.
local stratum $PEERS_CHRONY_STRATUM
allow $PEERS_ADDR
bindaddress $PEERS_ADDR
port 123
cmdport 0
bindcmdaddress /
pidfile $dir/chronyd.pid
EOF
    # -x: no clock control; -d: stay in the foreground, log to stderr;
    # -u root: no switch to _chrony, so our root-owned folder stays usable.
    PEERS_CHRONY_PID=$(_peers_spawn "$dir/chronyd.log" \
        chronyd -x -d -4 -u root -f "$dir/chrony.conf")
    if ! _peers_wait_for "$PEERS_CHRONY_PID" chronyd _peers_chrony_answers; then
        sed 's/^/peers: chronyd: /' "$dir/chronyd.log" >&2
        _peers_kill "$PEERS_CHRONY_PID"
        PEERS_CHRONY_PID=
        return 1
    fi
    if ! _peers_check_no_sys_time "$PEERS_CHRONY_PID"; then
        _peers_kill "$PEERS_CHRONY_PID"
        PEERS_CHRONY_PID=
        return 1
    fi
}

# ---------------------------------------------------------------------------
# inetd: RFC 868 time service (internal) on TCP PEERS_ADDR:37.

_peers_time37_answers() {
    timeout 10 rdate -p "$PEERS_ADDR" | grep -q .
}

peers_start_time37() {
    if [[ -n $PEERS_TIME37_PID ]] && _peers_is "$PEERS_TIME37_PID" inetd; then
        return 0
    fi
    _peers_check_private_netns || return 1
    _peers_make_dir || return 1
    local dir=$PEERS_DIR/inetd
    mkdir -p "$dir" && chmod 700 "$dir"
    printf '%s\n' \
        '# Test peer: the built-in RFC 868 time service over TCP, loopback only.' \
        "$PEERS_ADDR:time stream tcp4 nowait root internal" >"$dir/inetd.conf"
    # -d keeps inetd in the foreground (with debug output into the log) so it
    # needs no system pid file; the config file is ours, not /etc/inetd.conf.
    PEERS_TIME37_PID=$(_peers_spawn "$dir/inetd.log" inetd -d "$dir/inetd.conf")
    if ! _peers_wait_for "$PEERS_TIME37_PID" inetd _peers_time37_answers; then
        sed 's/^/peers: inetd: /' "$dir/inetd.log" >&2
        _peers_kill "$PEERS_TIME37_PID"
        PEERS_TIME37_PID=
        return 1
    fi
    if ! _peers_check_no_sys_time "$PEERS_TIME37_PID"; then
        _peers_kill "$PEERS_TIME37_PID"
        PEERS_TIME37_PID=
        return 1
    fi
}

# ---------------------------------------------------------------------------
# Stopping

peers_stop() {
    if [[ -n $PEERS_CHRONY_PID ]] && _peers_is "$PEERS_CHRONY_PID" chronyd; then
        _peers_kill "$PEERS_CHRONY_PID"
    fi
    if [[ -n $PEERS_TIME37_PID ]] && _peers_is "$PEERS_TIME37_PID" inetd; then
        _peers_kill "$PEERS_TIME37_PID"
    fi
    PEERS_CHRONY_PID=
    PEERS_TIME37_PID=
    if [[ -n $PEERS_DIR && -d $PEERS_DIR ]]; then
        rm -rf -- "$PEERS_DIR"
    fi
    PEERS_DIR=
}

# Adds peers_stop in front of whatever EXIT trap the caller already has.
peers_stop_on_exit() {
    local current
    current=$(trap -p EXIT)
    if [[ -n $current ]]; then
        eval "set -- $current"   # -> trap -- 'command' EXIT
        [[ $3 == peers_stop* ]] && return 0
        # shellcheck disable=SC2064
        trap "peers_stop; $3" EXIT
    else
        trap peers_stop EXIT
    fi
}

if [[ ${PEERS_STOP_ON_EXIT:-0} == 1 ]]; then
    peers_stop_on_exit
fi

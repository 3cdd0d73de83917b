# shellcheck shell=bash
#
# Real Debian time servers as test peers, on loopback, on the real ports.
#
# Source this file from a test script that runs as root inside its own network
# namespace (for example under `unshare -n`), then:
#
#   peers_install          unpack the peers' packages into a cache folder
#                          (never into the system) and put them on PATH
#   peers_start_chrony     chronyd answering NTP/SNTP on 127.0.0.1:123
#   peers_start_time37     xinetd's built-in RFC 868 time service on TCP 127.0.0.1:37
#   peers_stop             stop everything started here and remove its files
#   peers_stop_on_exit     opt in to peers_stop from an EXIT trap
#                          (or set PEERS_STOP_ON_EXIT=1 before sourcing)
#
# Neither daemon may ever set a clock: both start with a capability bounding
# set of CAP_NET_BIND_SERVICE alone (so no CAP_SYS_TIME, checked once they are
# up), and chronyd also runs with -x (no clock control). The start functions
# refuse to run in a namespace that has a route off the machine, so the servers
# only ever live on a test's private loopback. Both daemons get SIGKILL when
# the shell that started them dies, so a crashed test leaks nothing.
#
# Safe under `set -euo pipefail` in the caller.
#
# Tunables (environment): PEERS_ADDR (127.0.0.1), PEERS_WAIT_SECONDS (20),
# PEERS_CHRONY_STRATUM (8, the stratum chronyd reports for its local clock),
# PEERS_CHRONY_ALLOW (further client networks chronyd answers, separated by
# spaces, e.g. "127.64.0.0/10"; none by default).
#
# Never run the client tools in their clock-setting forms: `ntpdate` only as
# `ntpdate -q` (and never with -b/-B, which set the clock even with -q),
# `sntp` never with -s/-S, `rdate` only with -p.

PEERS_ADDR=${PEERS_ADDR:-127.0.0.1}
PEERS_WAIT_SECONDS=${PEERS_WAIT_SECONDS:-20}
PEERS_CHRONY_STRATUM=${PEERS_CHRONY_STRATUM:-8}
PEERS_CHRONY_ALLOW=${PEERS_CHRONY_ALLOW:-}

PEERS_DIR=${PEERS_DIR:-}
PEERS_CHRONY_PID=${PEERS_CHRONY_PID:-}
PEERS_TIME37_PID=${PEERS_TIME37_PID:-}

# The peers are never installed into the system (chrony would replace
# systemd-timesyncd, xinetd would start a service, ntpsec-ntpdate would set
# the clock from public servers whenever a network comes up, the node
# exporter would start a service): their packages
# are downloaded and unpacked into a cache folder, and the programs run from
# there, first on PATH. The libraries they load are ordinary Debian
# packages, installed by tools/install-deps.sh.
PEERS_PACKAGES=(chrony xinetd rdate busybox sntp ntpsec-ntpdig ntpsec-ntpdate python3-ntp prometheus-node-exporter)
PEERS_CACHE=${TAVREL_PEERS_CACHE:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/build-peers}

_peers_log() { printf 'peers: %s\n' "$*" >&2; }

# ---------------------------------------------------------------------------
# The unpacked peers

# Puts the unpacked programs first on PATH, and their Python module (for
# ntpdig, which sntp and ntpdate run) first on PYTHONPATH.
peers_use() {
    local root=$PEERS_CACHE/root
    [[ -d $root ]] || return 0
    case ":$PATH:" in
        *":$root/usr/bin:"*) ;;
        *) PATH="$root/usr/sbin:$root/usr/bin:$root/sbin:$root/bin:$PATH" ;;
    esac
    case ":${PYTHONPATH:-}:" in
        *":$root/usr/lib/python3/dist-packages:"*) ;;
        *) PYTHONPATH="$root/usr/lib/python3/dist-packages${PYTHONPATH:+:$PYTHONPATH}" ;;
    esac
    export PATH PYTHONPATH
}

# Downloads the peers' packages and unpacks them into the cache, once (again
# when the list changes); returns at once when they are there. Never touches
# the system's packages. Serialized with a lock so parallel test scripts do
# not race on the cache.
peers_install() {
    local want="${PEERS_PACKAGES[*]}"
    [[ -f $PEERS_CACHE/root/.unpacked && $(cat "$PEERS_CACHE/root/.unpacked") == "$want" ]] && return 0
    mkdir -p "$PEERS_CACHE" || return 1
    (
        flock -w 900 9 || { _peers_log "timed out waiting for the cache lock"; exit 1; }
        [[ -f $PEERS_CACHE/root/.unpacked && $(cat "$PEERS_CACHE/root/.unpacked") == "$want" ]] && exit 0
        debs=$PEERS_CACHE/debs
        rm -rf "$debs" "$PEERS_CACHE/root.new" && mkdir -p "$debs" "$PEERS_CACHE/root.new" || exit 1
        download() {
            (cd "$debs" && apt-get download -q -o APT::Sandbox::User=root "${PEERS_PACKAGES[@]}") >&2
        }
        _peers_log "downloading ${PEERS_PACKAGES[*]} into $PEERS_CACHE"
        if ! download; then
            # No package lists yet (a fresh machine): fetch them, then again.
            if ((EUID == 0)); then apt-get update -qq >&2 || exit 1; else sudo apt-get update -qq >&2 || exit 1; fi
            download || exit 1
        fi
        for deb in "$debs"/*.deb; do
            dpkg-deb -x "$deb" "$PEERS_CACHE/root.new" || exit 1
        done
        # The Python module finds its C library beside itself first.
        lib=$(find "$PEERS_CACHE/root.new/usr/lib" -name 'libntpc.so.*' -print -quit)
        module=$PEERS_CACHE/root.new/usr/lib/python3/dist-packages/ntp
        if [[ -n $lib && -d $module ]]; then ln -sf "$(realpath --relative-to="$module" "$lib")" "$module/libntpc.so"; fi
        rm -rf "$PEERS_CACHE/root"
        mv "$PEERS_CACHE/root.new" "$PEERS_CACHE/root" || exit 1
        echo "$want" > "$PEERS_CACHE/root/.unpacked"
    ) 9>"$PEERS_CACHE/.lock" || return 1
    peers_use
}

# Makes sure the named programs can be run, unpacking the peers first when
# they are missing.
peers_require() {
    local program missing=0
    for program in "$@"; do command -v "$program" >/dev/null || missing=1; done
    ((missing == 0)) && return 0
    peers_install || return 1
    for program in "$@"; do
        command -v "$program" >/dev/null || { _peers_log "$program is not available"; return 1; }
    done
}

# ---------------------------------------------------------------------------
# Process helpers

_peers_state() { awk '/^State:/ {print $2}' "/proc/$1/status" 2>/dev/null || true; }

# True when pid is alive (not a zombie) and runs the named program.
_peers_is() {
    local comm
    comm=$(cat "/proc/$1/comm" 2>/dev/null) || return 1
    [[ $comm == "$2" && $(_peers_state "$1") != Z ]]
}

_peers_gone() {
    local state
    state=$(_peers_state "$1")
    [[ -z $state || $state == Z ]]
}

# TERM, then KILL if it has not gone within the wait; never blocks unbounded.
_peers_kill() {
    local pid=$1 deadline=$((SECONDS + PEERS_WAIT_SECONDS))
    kill -TERM "$pid" 2>/dev/null || return 0
    while ! _peers_gone "$pid"; do
        if ((SECONDS >= deadline)); then
            kill -KILL "$pid" 2>/dev/null || true
            break
        fi
        sleep 0.1
    done
}

# The daemon's capability sets must lack CAP_SYS_TIME (bit 25).
_peers_check_no_sys_time() {
    local pid=$1 field value
    for field in CapBnd CapInh CapPrm CapEff CapAmb; do
        value=$(awk -v f="$field:" '$1 == f {print $2}' "/proc/$pid/status" 2>/dev/null) || true
        if [[ -z $value ]]; then
            _peers_log "cannot read $field of pid $pid"
            return 1
        fi
        if (((16#$value >> 25) & 1)); then
            _peers_log "pid $pid still has CAP_SYS_TIME in $field ($value)"
            return 1
        fi
    done
}

# Refuses to start a server in a namespace with a way off the machine (a
# default route or any route through a gateway), which a fresh `unshare -n`
# namespace never has; /proc/1/ns/net is not always readable, so it is not
# compared.
_peers_check_private_netns() {
    local routes
    routes=$({ ip -4 route show; ip -6 route show; } 2>/dev/null) || true
    if grep -qE '^default|[[:space:]]via[[:space:]]' <<<"$routes"; then
        _peers_log "refusing to start servers in a namespace with routes off this machine (use unshare -n)"
        return 1
    fi
    ip link set lo up 2>/dev/null || true
}

_peers_make_dir() {
    if [[ -z $PEERS_DIR || ! -d $PEERS_DIR ]]; then
        PEERS_DIR=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-peers.XXXXXX") || return 1
    fi
    mkdir -p "$PEERS_DIR/$1" && chmod 755 "$PEERS_DIR" "$PEERS_DIR/$1"
}

# Starts a daemon in the background of the calling shell, with its output in a
# log, and stores its pid in the variable named first. It keeps only the
# capability to bind ports below 1024; the parent-death signal ends it if the
# calling shell dies (a daemon that changes its uid would lose that, so both
# stay root); disown keeps the shell from reporting its end.
_peers_spawn() {
    local -n pid_var=$1
    local log=$2
    shift 2
    setpriv --bounding-set -all,+net_bind_service --inh-caps -all --pdeathsig KILL -- "$@" \
        </dev/null >>"$log" 2>&1 &
    pid_var=$!
    disown "$pid_var" 2>/dev/null || true
}

# Polls "$@" until it succeeds or PEERS_WAIT_SECONDS pass; gives up early if
# the daemon (pid) has died.
_peers_wait_for() {
    local pid=$1 name=$2
    shift 2
    local deadline=$((SECONDS + PEERS_WAIT_SECONDS))
    while :; do
        "$@" >/dev/null 2>&1 && return 0
        if _peers_gone "$pid"; then
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

# Waits until the daemon answers and has no way to set the clock; otherwise
# shows its log, stops it and fails.
_peers_confirm() {
    local pid=$1 name=$2 log=$3
    shift 3
    if _peers_wait_for "$pid" "$name" "$@" && _peers_check_no_sys_time "$pid"; then
        return 0
    fi
    sed "s/^/peers: $name: /" "$log" >&2
    _peers_kill "$pid"
    return 1
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
    peers_require chronyd sntp || return 1
    _peers_check_private_netns || return 1
    _peers_make_dir chrony || return 1
    local dir=$PEERS_DIR/chrony network
    cat >"$dir/chrony.conf" <<EOF
# Test peer: serve the local clock, follow no source, touch neither the clock
# nor the RTC, no command socket, and keep every file in this folder.
local stratum $PEERS_CHRONY_STRATUM
allow $PEERS_ADDR
bindaddress $PEERS_ADDR
# IPv6 loopback as well, for the clients that ask over IPv6.
allow ::1
bindaddress ::1
port 123
cmdport 0
bindcmdaddress /
pidfile $dir/chronyd.pid
EOF
    # No ratelimit directive: without one chronyd limits no client's rate.
    for network in $PEERS_CHRONY_ALLOW; do
        echo "allow $network" >>"$dir/chrony.conf"
    done
    # -x: never adjust the clock; -d: foreground, log to stderr;
    # -u root: no switch to _chrony, which would clear the parent-death signal.
    _peers_spawn PEERS_CHRONY_PID "$dir/chronyd.log" \
        chronyd -x -d -u root -f "$dir/chrony.conf"
    if ! _peers_confirm "$PEERS_CHRONY_PID" chronyd "$dir/chronyd.log" _peers_chrony_answers; then
        PEERS_CHRONY_PID=
        return 1
    fi
}

# ---------------------------------------------------------------------------
# xinetd: built-in RFC 868 time service on TCP PEERS_ADDR:37.

_peers_time37_answers() {
    [[ -n $(timeout 10 rdate -p "$PEERS_ADDR" 2>/dev/null) ]]
}

peers_start_time37() {
    if [[ -n $PEERS_TIME37_PID ]] && _peers_is "$PEERS_TIME37_PID" xinetd; then
        return 0
    fi
    peers_require xinetd rdate || return 1
    _peers_check_private_netns || return 1
    _peers_make_dir xinetd || return 1
    local dir=$PEERS_DIR/xinetd
    cat >"$dir/xinetd.conf" <<EOF
# Test peer: only the built-in RFC 868 time service over TCP, loopback only.
defaults
{
	log_type	= FILE $dir/services.log
}

service time
{
	type		= INTERNAL
	id		= time-stream
	socket_type	= stream
	protocol	= tcp
	user		= root
	wait		= no
	bind		= $PEERS_ADDR
	port		= 37
	flags		= IPv4
	# A test peer never throttles its clients (xinetd's default is 50
	# connections a second, then 10 s off).
	cps		= 1000000 1
	instances	= UNLIMITED
	per_source	= UNLIMITED
}
EOF
    # -dontfork keeps xinetd in the foreground; config and pid file are ours,
    # not /etc/xinetd.conf or /run/xinetd.pid.
    _peers_spawn PEERS_TIME37_PID "$dir/xinetd.log" \
        xinetd -dontfork -f "$dir/xinetd.conf" -pidfile "$dir/xinetd.pid" \
        -filelog "$dir/xinetd.log"
    if ! _peers_confirm "$PEERS_TIME37_PID" xinetd "$dir/xinetd.log" _peers_time37_answers; then
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
    if [[ -n $PEERS_TIME37_PID ]] && _peers_is "$PEERS_TIME37_PID" xinetd; then
        _peers_kill "$PEERS_TIME37_PID"
    fi
    PEERS_CHRONY_PID=
    PEERS_TIME37_PID=
    if [[ -n $PEERS_DIR && -d $PEERS_DIR ]]; then
        rm -rf -- "$PEERS_DIR"
    fi
    PEERS_DIR=
}

# Puts peers_stop in front of whatever EXIT trap the caller already has.
peers_stop_on_exit() {
    local current
    local -a parts
    current=$(trap -p EXIT)
    if [[ -z $current ]]; then
        trap peers_stop EXIT
        return 0
    fi
    eval "parts=($current)"   # trap -- 'command' EXIT
    [[ ${parts[2]} == peers_stop* ]] && return 0
    # shellcheck disable=SC2064
    trap "peers_stop; ${parts[2]}" EXIT
}

peers_use

if [[ ${PEERS_STOP_ON_EXIT:-0} == 1 ]]; then
    peers_stop_on_exit
fi

# Run rather than sourced: `bash peers.sh peers_install`.
if [[ ${BASH_SOURCE[0]} == "$0" && $# -gt 0 ]]; then
    set -euo pipefail
    "$@"
fi

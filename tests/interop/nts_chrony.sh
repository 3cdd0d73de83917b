#!/usr/bin/env bash
# Runs the NTS tests against Debian's chronyd serving NTS on loopback inside
# a private network namespace: an authority and a certificate for
# "localhost" made here with openssl, chronyd with -x (never touches a
# clock) and without CAP_SYS_TIME, everything in a temporary folder.
# Usage: nts_chrony.sh NTS_TEST_BINARY [gtest options]
set -euo pipefail
if [ "${TAVREL_PEERS_NETNS:-}" != 1 ]; then
    # The peers are unpacked (downloaded once) while the network is still there.
    bash "$(dirname "$0")/../support/peers.sh" peers_install
    exec unshare -n env TAVREL_PEERS_NETNS=1 bash "$0" "$@"
fi
tests=$(realpath "$1")
shift
here=$(cd "$(dirname "$0")" && pwd)

ip link set lo up
# shellcheck source=../support/peers.sh
source "$here/../support/peers.sh"
peers_require chronyd sntp
_peers_check_private_netns

work=$(mktemp -d)
chrony_pid=
stop() {
    if [[ -n $chrony_pid ]] && _peers_is "$chrony_pid" chronyd; then _peers_kill "$chrony_pid"; fi
    rm -rf "$work"
}
trap stop EXIT

# The authority, and the server's certificate for "localhost" alone.
(
    cd "$work"
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key -out ca.pem -days 2 \
        -subj "/CN=Tavrel test authority" -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign" 2>/dev/null
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout server.key -out server.csr \
        -subj "/CN=localhost" 2>/dev/null
    printf 'subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' > server.ext
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 \
        -extfile server.ext 2>/dev/null
)

# NTS-KE on its usual port, free in this fresh namespace.
nts_port=4460
cat > "$work/chrony.conf" <<CONF
# Test peer: serve the local clock by NTP and NTS, follow no source, no
# command socket, every file in this folder.
local stratum 8
allow 127.0.0.1
bindaddress 127.0.0.1
port 123
ntsport $nts_port
ntsserverkey $work/server.key
ntsservercert $work/server.pem
ntsprocesses 0
cmdport 0
bindcmdaddress /
pidfile $work/chronyd.pid
CONF

nts_answers() { sntp -t 2 127.0.0.1 >/dev/null 2>&1 && (exec 3<>"/dev/tcp/127.0.0.1/$nts_port") 2>/dev/null; }
# -x: never adjust the clock; -d: foreground; -u root keeps the
# parent-death signal.
_peers_spawn chrony_pid "$work/chronyd.log" chronyd -x -d -u root -f "$work/chrony.conf"
if ! _peers_confirm "$chrony_pid" chronyd "$work/chronyd.log" nts_answers; then
    chrony_pid=
    exit 1
fi

TAVREL_NTS_CA_FILE="$work/ca.pem" TAVREL_TEST_NTS_PORT=$nts_port "$tests" "$@"

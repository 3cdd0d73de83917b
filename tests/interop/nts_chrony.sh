#!/usr/bin/env bash
# Runs the NTS tests against Debian's chronyd serving NTS on loopback inside
# a private network namespace: an authority and a certificate for
# "localhost" made here with openssl, chronyd with -x (never touches a
# clock) and without CAP_SYS_TIME, everything in a temporary folder. The
# namespace has names of its own (tests/support/names.sh): "localhost" is
# ::1 and 127.0.0.1 in the resolver's order, whatever this machine's
# /etc/hosts says, and chronyd serves 127.0.0.1 alone, hanging up on ::1,
# so every NTS-KE here must go on from the first address to the next.
# Then the program itself: "tavrel /q" with an nts:// entry corrects the
# simulated clock within 1 ms, and with a certificate for another name
# fails with the reason in its log and leaves the clock as it was (chronyd
# answers plain SNTP on 127.0.0.1:123: a fallback would have set it).
# Usage: nts_chrony.sh PROGRAM NTS_TEST_BINARY [gtest options]
set -euo pipefail
if [ "${TAVREL_PEERS_NETNS:-}" != 1 ]; then
    # The peers are unpacked (downloaded once) while the network is still there.
    bash "$(dirname "$0")/../support/peers.sh" peers_install
    exec unshare -m -n env TAVREL_PEERS_NETNS=1 bash "$0" "$@"
fi
program=$(realpath "$1")
tests=$(realpath "$2")
shift 2
here=$(cd "$(dirname "$0")" && pwd)

ip link set lo up
# shellcheck source=../support/names.sh
source "$(dirname "$0")/../support/names.sh"
names_own
# shellcheck source=../support/peers.sh
source "$here/../support/peers.sh"
peers_require chronyd
_peers_check_private_netns

work=$(mktemp -d)
chrony_pid=
other_pid=
relayed_pid=
tls12_pid=
stop() {
    local pid
    for pid in $chrony_pid $other_pid $relayed_pid; do
        if _peers_is "$pid" chronyd; then _peers_kill "$pid"; fi
    done
    if [[ -n $tls12_pid ]] && _peers_is "$tls12_pid" openssl; then _peers_kill "$tls12_pid"; fi
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
    # An authority that signed nothing here.
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout other-ca.key -out other-ca.pem \
        -days 2 -subj "/CN=Another authority" -addext "basicConstraints=critical,CA:TRUE" 2>/dev/null
)

# Writes the configuration of a chronyd serving the local clock by NTP on
# port $2 and NTS-KE on port $3, following no source, without a command
# socket, every file in this folder. Each chronyd makes server keys of its
# own at start, so one's cookies mean nothing to the other.
chrony_conf() {
    cat > "$work/$1.conf" <<CONF
local stratum 8
allow 127.0.0.1
bindaddress 127.0.0.1
port $2
ntsport $3
ntsserverkey $work/server.key
ntsservercert $work/server.pem
ntsprocesses 0
cmdport 0
bindcmdaddress /
pidfile $work/$1.pid
${4:-}
CONF
}

# True once a chronyd answers an NTP client request on port $1 and takes
# connections on NTS-KE port $2.
answers() {
    # One write, so one datagram: the header byte of a version 4 client,
    # zeros, and a transmit timestamp.
    local request='\x23' i got
    for ((i = 0; i < 39; ++i)); do request+='\x00'; done
    request+='\x01\x02\x03\x04\x05\x06\x07\x08'
    got=$({ exec 3<>"/dev/udp/127.0.0.1/$1" && printf "$request" >&3 && timeout 2 head -c 48 <&3; } 2>/dev/null | wc -c)
    [[ $got -eq 48 ]] && (exec 3<>"/dev/tcp/127.0.0.1/$2") 2>/dev/null
}

# The server under test on the usual ports, free in this fresh namespace,
# and a stranger to its cookies beside it.
nts_port=4460
other_ntp_port=1123
other_nts_port=4461
chrony_conf main 123 $nts_port
chrony_conf other $other_ntp_port $other_nts_port
# A third one names 127.0.0.2 as its NTP server in NTS-KE, where the tests
# put a relay of their own that can alter its replies on the way.
relayed_ntp_port=1124
relayed_nts_port=4462
chrony_conf relayed $relayed_ntp_port $relayed_nts_port "ntsntpserver 127.0.0.2"
# -x: never adjust the clock; -d: foreground; -u root keeps the
# parent-death signal.
_peers_spawn chrony_pid "$work/main.log" chronyd -x -d -u root -f "$work/main.conf"
if ! _peers_confirm "$chrony_pid" chronyd "$work/main.log" answers 123 $nts_port; then
    chrony_pid=
    exit 1
fi
_peers_spawn other_pid "$work/other.log" chronyd -x -d -u root -f "$work/other.conf"
if ! _peers_confirm "$other_pid" chronyd "$work/other.log" answers $other_ntp_port $other_nts_port; then
    other_pid=
    exit 1
fi

# A TLS server that offers TLS 1.2 at most, with the same certificate.
_peers_spawn relayed_pid "$work/relayed.log" chronyd -x -d -u root -f "$work/relayed.conf"
if ! _peers_confirm "$relayed_pid" chronyd "$work/relayed.log" answers $relayed_ntp_port $relayed_nts_port; then
    relayed_pid=
    exit 1
fi

tls12_port=4470
_peers_spawn tls12_pid "$work/tls12.log" openssl s_server -accept "127.0.0.1:$tls12_port" -tls1_2 \
    -cert "$work/server.pem" -key "$work/server.key" -alpn ntske/1 -www
takes_connections() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
if ! _peers_confirm "$tls12_pid" openssl "$work/tls12.log" takes_connections $tls12_port; then
    tls12_pid=
    exit 1
fi

# shellcheck source=../support/checks.sh
source "$here/../support/checks.sh"
export TAVREL_NTS_CA_FILE="$work/ca.pem" TAVREL_CLOCK_FILE="$work/clock"
export XDG_CONFIG_HOME="$work/xdg" XDG_RUNTIME_DIR="$work"
TAVREL_TEST_NTS_PORT=$nts_port TAVREL_TEST_OTHER_NTP_PORT=$other_ntp_port \
    TAVREL_TEST_RELAYED_NTS_PORT=$relayed_nts_port TAVREL_TEST_RELAYED_NTP_PORT=$relayed_ntp_port \
    TAVREL_TEST_TLS12_PORT=$tls12_port TAVREL_TEST_OTHER_CA_FILE="$work/other-ca.pem" "$tests" "$@" &&
    passed=$((passed + 1)) || { failed=$((failed + 1)); echo "FAIL: NTS tests"; }
[ $# -eq 0 ] || { report "NTS"; exit; }

within() { awk -v v="$1" -v limit="$2" 'BEGIN { exit !(v <= limit && v >= -limit) }'; }
offset_seconds() { awk '{ printf "%.7f", ($1 + 0) / 1e7 }' "$TAVREL_CLOCK_FILE"; }
quick() {  # the one server-list entry
    mkdir -p "$work/q"
    cp "$program" "$work/q/tavrel"
    printf '%s\r\n' "$1" > "$work/q/ServFile.txt"
    rm -f "$work/q/dLog.txt"
    echo 12500000 > "$TAVREL_CLOCK_FILE"  # 1.25 s ahead
    (cd "$work/q" && timeout 120 ./tavrel /q > "$work/q/out" 2>&1) && status=0 || status=$?
}
quick "nts://localhost"
check "/q corrects the clock by nts://localhost within 1 ms ($(offset_seconds) s)" \
    "[ $status = 0 ] && within $(offset_seconds) 0.001"
check "/q logs the correction by the entry as written" \
    "grep -q ' : Tavreled, Time Corrected by -1\.2.*Server used was nts://localhost' '$work/q/dLog.txt'"
quick "nts://127.0.0.1"
check "/q refuses a certificate for another name (status $status)" "[ $status = 1 ]"
check "and logs why" "grep -q 'No response from nts://127.0.0.1 by NTS (certificate not valid for 127.0.0.1)' '$work/q/dLog.txt'"
check "and leaves the clock as it was, with no plain SNTP tried ($(offset_seconds) s)" \
    "[ \"\$(cat '$TAVREL_CLOCK_FILE')\" = 12500000 ]"
report "NTS"

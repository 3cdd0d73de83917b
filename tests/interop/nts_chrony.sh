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
# With TAVREL_TEST_PATH_RELAY naming the tests' path relay, the keys and
# cookies kept across starts: a second start makes no NTS-KE, one with keys
# a day old or cookies the server NAKs makes a new one.
# A clock three years behind, which no certificate here is valid at, is
# corrected on the server's authenticated time while nothing calls it
# synchronised, and refused while the system says it keeps it; a
# certificate that expired a year ago is refused on such a clock too.
# Tavrel.exe and the tests' Windows program run the same way under Wine,
# with a Wine session of their own made in the namespace (Wine's server
# makes their sockets) and the files named by their Windows paths.
# Usage: nts_chrony.sh PROGRAM NTS_TEST_BINARY [gtest options]
#        (PROGRAM Tavrel.exe, NTS_TEST_BINARY a .exe: under Wine)
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
windows=0
[[ $program == *.exe ]] && windows=1

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
expired_pid=
tls12_pid=
stop() {
    local pid
    for pid in $chrony_pid $other_pid $relayed_pid $expired_pid; do
        if _peers_is "$pid" chronyd; then _peers_kill "$pid"; fi
    done
    if [[ -n $tls12_pid ]] && _peers_is "$tls12_pid" openssl; then _peers_kill "$tls12_pid"; fi
    if [[ -n ${relay_pid:-} ]]; then kill "$relay_pid" 2>/dev/null || true; fi
    if declare -F wine_stop >/dev/null; then wine_stop; fi
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
    # An authority valid from five years ago to two days on, and a
    # certificate for "localhost" it signed that was valid from two years
    # ago to one year ago: not yet valid by a clock three years behind,
    # expired by the server's.
    mkdir old-db
    touch old-db/index.txt
    cat > old.cnf <<CNF
[ca]
default_ca = old
[old]
database = $PWD/old-db/index.txt
new_certs_dir = $PWD/old-db
rand_serial = yes
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
[authority]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign
[server]
subjectAltName = DNS:localhost
basicConstraints = CA:FALSE
extendedKeyUsage = serverAuth
CNF
    at() { date -u -d "$1" +%Y%m%d%H%M%SZ; }
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout old-ca.key -out old-ca.csr \
        -subj "/CN=Old test authority" 2>/dev/null
    openssl ca -batch -config old.cnf -selfsign -keyfile old-ca.key -in old-ca.csr -out old-ca.pem -notext \
        -extensions authority -startdate "$(at '-5 years')" -enddate "$(at '+2 days')" 2>/dev/null
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout expired.key -out expired.csr \
        -subj "/CN=localhost" 2>/dev/null
    openssl ca -batch -config old.cnf -cert old-ca.pem -keyfile old-ca.key -in expired.csr -out expired.pem \
        -notext -extensions server -startdate "$(at '-2 years')" -enddate "$(at '-1 year')" 2>/dev/null
    cat ca.pem old-ca.pem > authorities.pem
)

# Writes the configuration of a chronyd serving the local clock by NTP on
# port $2 and NTS-KE on port $3 (on address $5, 127.0.0.1 by default,
# with the certificate and key $6.pem and $6.key, server by default),
# following no source, without a command socket, every file in this folder.
# Each chronyd makes server keys of its own at start, so one's cookies mean
# nothing to the other.
chrony_conf() {
    cat > "$work/$1.conf" <<CONF
local stratum 8
allow ${5:-127.0.0.1}
bindaddress ${5:-127.0.0.1}
port $2
ntsport $3
ntsserverkey $work/${6:-server}.key
ntsservercert $work/${6:-server}.pem
ntsprocesses 0
cmdport 0
bindcmdaddress /
pidfile $work/$1.pid
${4:-}
CONF
}

# True once a chronyd answers an NTP client request on port $1 and takes
# connections on NTS-KE port $2 (on address $3, 127.0.0.1 by default).
answers() {
    local address=${3:-127.0.0.1}
    # One write, so one datagram: the header byte of a version 4 client,
    # zeros, and a transmit timestamp.
    local request='\x23' i got
    for ((i = 0; i < 39; ++i)); do request+='\x00'; done
    request+='\x01\x02\x03\x04\x05\x06\x07\x08'
    got=$({ exec 3<>"/dev/udp/$address/$1" && printf "$request" >&3 && timeout 2 head -c 48 <&3; } 2>/dev/null | wc -c)
    [[ $got -eq 48 ]] && (exec 3<>"/dev/tcp/$address/$2") 2>/dev/null
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
# Under Wine a UDP socket bound to a loopback address takes its port on the
# whole loopback device (and answers from 127.0.0.1): for Tavrel.exe's tests
# this chronyd serves ::1 alone, and names 127.0.0.1, where the relay
# listens and passes the requests on to ::1.
relayed_address=127.0.0.1
relayed_server=127.0.0.2
relayed_family=()
if ((windows)); then
    relayed_address=::1
    relayed_server=127.0.0.1
    relayed_family=(-6)
fi
chrony_conf relayed $relayed_ntp_port $relayed_nts_port "ntsntpserver $relayed_server" $relayed_address
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
_peers_spawn relayed_pid "$work/relayed.log" chronyd "${relayed_family[@]}" -x -d -u root -f "$work/relayed.conf"
if ! _peers_confirm "$relayed_pid" chronyd "$work/relayed.log" answers $relayed_ntp_port $relayed_nts_port \
    $relayed_address; then
    relayed_pid=
    exit 1
fi

# One that serves the expired certificate.
expired_ntp_port=1125
expired_nts_port=4463
chrony_conf expired $expired_ntp_port $expired_nts_port "" 127.0.0.1 expired
_peers_spawn expired_pid "$work/expired.log" chronyd -x -d -u root -f "$work/expired.conf"
if ! _peers_confirm "$expired_pid" chronyd "$work/expired.log" answers $expired_ntp_port $expired_nts_port; then
    expired_pid=
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
export XDG_CONFIG_HOME="$work/xdg" XDG_RUNTIME_DIR="$work"
clock=$work/clock
# A file as the programs under test name it, and how they are started.
file_for_program() { printf '%s' "$1"; }
runner=()
if ((windows)); then
    # shellcheck source=../support/wine.sh
    source "$here/../support/wine.sh"
    file_for_program() {
        local p
        p=$(realpath -m "$1")
        printf 'Z:%s' "${p//\//\\}"
    }
    runner=(wine)
    wine_start "$work/prefix"
fi
TAVREL_NTS_CA_FILE=$(file_for_program "$work/ca.pem")
TAVREL_CLOCK_FILE=$(file_for_program "$clock")
export TAVREL_NTS_CA_FILE TAVREL_CLOCK_FILE
TAVREL_TEST_NTS_PORT=$nts_port TAVREL_TEST_OTHER_NTP_PORT=$other_ntp_port \
    TAVREL_TEST_RELAYED_NTS_PORT=$relayed_nts_port TAVREL_TEST_RELAYED_NTP_PORT=$relayed_ntp_port \
    TAVREL_TEST_RELAYED_ADDRESS=$relayed_address \
    TAVREL_TEST_TLS12_PORT=$tls12_port TAVREL_TEST_OTHER_CA_FILE=$(file_for_program "$work/other-ca.pem") \
    "${runner[@]}" "$tests" "$@" </dev/null &&
    passed=$((passed + 1)) || { failed=$((failed + 1)); echo "FAIL: NTS tests"; }
[ $# -eq 0 ] || { report "NTS"; exit; }

within() { awk -v v="$1" -v limit="$2" 'BEGIN { exit !(v <= limit && v >= -limit) }'; }
offset_seconds() { awk '{ printf "%.7f", ($1 + 0) / 1e7 }' "$clock"; }
quick() {  # the one server-list entry, and the clock's offset (100 ns) to start from
    mkdir -p "$work/q"
    cp "$program" "$work/q/$(basename "$program")"
    printf '%s\r\n' "$1" > "$work/q/ServFile.txt"
    rm -f "$work/q/dLog.txt"
    echo "${2:-12500000}" > "$clock"  # 1.25 s ahead unless told
    (cd "$work/q" && timeout 120 "${runner[@]}" "./$(basename "$program")" /q </dev/null > "$work/q/out" 2>&1) &&
        status=0 || status=$?
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
    "[ \"\$(cat '$clock')\" = 12500000 ]"

# A clock three years (of 365.25 days) behind.
behind=-946728000000000
checked="certificate checked against the server's time: the clock was 3 years behind"
TAVREL_NTS_CA_FILE=$(file_for_program "$work/authorities.pem")
rm -f "$clock.sync"  # the corrections above told the system the clock was kept
# Keys kept by the starts above would spare the NTS-KE, and its certificate with it.
rm -f "$work/q/NtsCookies.dat"
quick "nts://localhost" $behind
check "/q corrects a clock 3 years behind by nts://localhost within 1 ms ($(offset_seconds) s)" \
    "[ $status = 0 ] && within $(offset_seconds) 0.001"
check "and logs that the certificate was checked against the server's time, once" \
    "[ \"\$(grep -c \"$checked\" '$work/q/dLog.txt')\" = 1 ]"
echo "1 1000 500" > "$clock.sync"  # the system calls the clock kept
quick "nts://localhost" $behind
rm -f "$clock.sync"
check "/q refuses the certificate while the clock counts as synchronised (status $status)" "[ $status = 1 ]"
check "and logs why" \
    "grep -q 'No response from nts://localhost by NTS (certificate not yet valid)' '$work/q/dLog.txt'"
check "and leaves the clock as it was ($(offset_seconds) s)" "[ \"\$(cat '$clock')\" = $behind ]"
rm -f "$clock.sync"
quick "nts://localhost:$expired_nts_port" $behind
check "/q refuses a certificate expired by the server's time on a clock 3 years behind (status $status)" \
    "[ $status = 1 ]"
check "and logs why" \
    "grep -q 'No response from nts://localhost:$expired_nts_port by NTS (certificate expired)' '$work/q/dLog.txt'"
check "and leaves the clock as it was ($(offset_seconds) s)" "[ \"\$(cat '$clock')\" = $behind ]"
check "and never says it checked the certificate by the server's time" "! grep -q 'certificate checked' '$work/q/dLog.txt'"
# A clock a year and a half behind reads the expired certificate as valid,
# whatever the machine's clock says: the host name is still checked.
rm -f "$clock.sync"
quick "nts://127.0.0.1:$expired_nts_port" -473364000000000
check "/q refuses a certificate for another name valid by its clock (status $status)" "[ $status = 1 ]"
check "and logs why" \
    "grep -q 'No response from nts://127.0.0.1:$expired_nts_port by NTS (certificate not valid for 127.0.0.1)' '$work/q/dLog.txt'"

# Keys and cookies kept in the data folder across starts. The NTS-KE goes
# through a TCP relay of the test's own in front of chronyd's port, which
# counts what passes: none at all means no NTS-KE connection was made.
relay=${TAVREL_TEST_PATH_RELAY:-}
if [[ -n $relay ]]; then
    relay_port=4464
    cookies=$work/q/NtsCookies.dat
    relay_pid=
    # "/q" with the entry through the relay; relayed: what it passed on.
    quick_relayed() {
        : > "$work/relay.out"
        "$relay" tcp "127.0.0.1:$relay_port" "127.0.0.1:$nts_port" --seconds 300 > "$work/relay.out" 2>&1 &
        relay_pid=$!
        poll 30 grep -q '^ready' "$work/relay.out" || { echo "FAIL: the relay did not start"; exit 1; }
        quick "nts://localhost:$relay_port"
        kill "$relay_pid"
        wait "$relay_pid" || true
        relay_pid=
        relayed=$(sed -n 's/^passed \([0-9]*\) \([0-9]*\).*/\1 \2/p' "$work/relay.out")
    }
    entry_hex=$(printf '%s' "nts://localhost:$relay_port" | od -An -tx1 -v | tr -d ' \n')
    # The entry's line and its cookies; nothing when the file holds none.
    kept_line() { grep -s "^$entry_hex " "$cookies" || true; }
    kept_cookies() { kept_line | cut -d' ' -f8; }
    rm -f "$cookies"
    quick_relayed
    check "a first start with nts://localhost:$relay_port makes an NTS-KE (relay passed $relayed)" \
        "[ $status = 0 ] && [ \"$relayed\" != '0 0' ] && [ -n \"$relayed\" ]"
    check "and corrects the clock within 1 ms ($(offset_seconds) s)" "within $(offset_seconds) 0.001"
    # (Under Wine the file's mode is Wine's, not the program's.)
    check "and keeps its keys and cookies in the data folder for the owner alone" \
        "[ -n \"\$(kept_line)\" ] && { ((windows)) || [ \"\$(stat -c %a '$cookies')\" = 600 ]; }"
    c2s=$(kept_line | cut -d' ' -f6)
    check "and never logs the keys" "[ -n '$c2s' ] && ! grep -qi '$c2s' '$work/q/dLog.txt' '$work/q/out'"
    before=$(kept_cookies)
    quick_relayed
    check "a second start makes no NTS-KE connection (relay passed $relayed)" \
        "[ $status = 0 ] && [ \"$relayed\" = '0 0' ]"
    check "and still corrects the clock within 1 ms by NTS ($(offset_seconds) s)" \
        "within $(offset_seconds) 0.001 && grep -q 'Server used was nts://localhost:$relay_port' '$work/q/dLog.txt'"
    check "and never keeps a cookie it sent" \
        "[ -n '$before' ] && ! kept_cookies | tr ',' '\n' | grep -qx '$(printf '%s' "$before" | cut -d, -f1)'"

    # Keys a day old: a new NTS-KE. The clock the program reads is 1.25 s
    # ahead of this one.
    aged=$(($(date +%s) - 86400 - 60))
    kept=$(kept_line)
    if [[ -f $cookies ]]; then
        awk -v entry="$entry_hex" -v aged="$aged" '$1 == entry { $2 = aged } { print }' "$cookies" > "$cookies.aged"
        mv "$cookies.aged" "$cookies"
    fi
    quick_relayed
    check "keys kept a day ago are not used: a new NTS-KE (relay passed $relayed)" \
        "[ $status = 0 ] && [ \"$relayed\" != '0 0' ] && [ -n \"$relayed\" ] && [ -n \"\$(kept_line)\" ] && [ \"\$(kept_line)\" != \"\$kept\" ]"

    # Cookies the server cannot open: its NAK drops them, and one new NTS-KE
    # follows in the same start.
    if [[ -f $cookies ]]; then
        awk -v entry="$entry_hex" '$1 == entry { gsub(/[0-9]/, "a", $8) } { print }' "$cookies" > "$cookies.spoilt"
        mv "$cookies.spoilt" "$cookies"
    fi
    spoilt=$(kept_cookies)
    quick_relayed
    check "cookies the server NAKs are dropped for a new NTS-KE (relay passed $relayed, status $status)" \
        "[ $status = 0 ] && [ \"$relayed\" != '0 0' ] && [ -n \"$relayed\" ] && within $(offset_seconds) 0.001"
    check "and the new cookies are kept in their place" \
        "[ -n '$spoilt' ] && [ -n \"\$(kept_cookies)\" ] && ! kept_cookies | tr ',' '\n' | grep -qx '$(printf '%s' "$spoilt" | cut -d, -f2)'"
fi
report "NTS"

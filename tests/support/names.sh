# shellcheck shell=bash
#
# The names a test resolves are the test's own, whatever this machine's
# /etc/hosts and name service say: source this file in a script that runs
# in mount and network namespaces of its own (`unshare -m -n`, or
# `unshare -r -m -n` as a user), then call names_own. In that namespace
# "localhost" is then 127.0.0.1 and ::1 (IPv6 first in the resolver's
# order, as on a stock Debian), no other address has a name, and a name not
# in the file goes to DNS as resolv.conf says (in a fresh network namespace,
# nowhere). The files stand over the machine's in this namespace only and
# go with it; the machine's own are never touched.
#
# Safe under `set -euo pipefail` in the caller.

NAMES_HOSTS=$'127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n'

names_own() {
    local dir
    if [[ ! -e /etc/hosts ]]; then
        echo "names: this machine has no /etc/hosts to stand over" >&2
        return 1
    fi
    # Mounts made here stay here.
    mount --make-rprivate / || return 1
    # The files live in a file system of this namespace's own, mounted on a
    # fresh folder and detached from it once they are in place: nothing is
    # left behind however the test ends, and the files stay linked, so a
    # test can put another file over them in turn.
    dir=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-names.XXXXXX") || return 1
    if ! mount -t tmpfs -o size=64k,nosuid,nodev,noexec tavrel-names "$dir"; then
        rmdir "$dir"
        return 1
    fi
    printf '%s' "$NAMES_HOSTS" > "$dir/hosts"
    local ok=0
    mount --bind "$dir/hosts" /etc/hosts || ok=1
    # Files, then DNS: a machine's nss-resolve, mDNS or LDAP never answers
    # for a test, nor sends its questions off the machine.
    if [[ $ok -eq 0 && -e /etc/nsswitch.conf ]]; then
        { grep -v '^[[:space:]]*hosts:' /etc/nsswitch.conf || true; echo 'hosts: files dns'; } > "$dir/nsswitch.conf"
        mount --bind "$dir/nsswitch.conf" /etc/nsswitch.conf || ok=1
    fi
    umount -l "$dir"
    rmdir "$dir"
    return "$ok"
}

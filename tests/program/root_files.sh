#!/usr/bin/env bash
# The program run as root with files a user could have planted: links in
# its data folder to files of root's are never followed, and a data folder
# another user may change is refused with a message naming it. Runs in
# mount and network namespaces of its own (no traffic leaves; the files a
# link stands for are the test's own).
# Usage: root_files.sh PROGRAM
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
    echo "root files: skipped (needs root)"
    exit 0
fi
if [ "${TAVREL_ROOT_FILES_NS:-}" != 1 ]; then
    exec unshare -m -n env TAVREL_ROOT_FILES_NS=1 bash "$0" "$@"
fi
mount --make-rprivate /
program=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
ip link set lo up
# shellcheck source=../support/names.sh
source "$here/../support/names.sh"
names_own

work=$(mktemp -d)
cleanup() {
    umount /etc/resolv.conf 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
# Lookups fail at once: a closed port on loopback.
printf 'nameserver 127.0.0.53\n' > "$work/resolv.conf"
mount --bind "$work/resolv.conf" /etc/resolv.conf
export TAVREL_CLOCK_FILE="$work/clock" XDG_RUNTIME_DIR="$work" TAVREL_HEADLESS=1
unset XDG_CONFIG_HOME
fail() { echo "FAIL: $*"; exit 1; }
passed=0

# Root's own files, standing for /etc/ld.so.preload and /etc/shadow.
system="$work/system"
mkdir -m 0700 "$system"
printf 'untouched\n' > "$system/preload"
printf 'untouched\n' > "$system/preload2"
printf 'root:TOPSECRET-42:19000::::::\n' > "$system/shadow"
chmod 0600 "$system/shadow"
victims_untouched() {
    [ "$(cat "$system/preload")" = untouched ] || fail "$1: a file of root's was written through a link"
    [ "$(cat "$system/preload2")" = untouched ] || fail "$1: a file of root's was written through a link"
    ! grep -rlsF TOPSECRET-42 --exclude-dir=system "$work" || fail "$1: a file of root's was read into the data folder"
}

# 1. Links planted in a portable copy's folder (root's own, as the
# service's user or an earlier owner could have left them): the log, the
# server list, History and the settings each stand for a file of root's.
portable="$work/portable"
mkdir -m 0755 "$portable"
cp "$program" "$portable/tavrel"
ln -s "$system/preload" "$portable/dLog.txt"
ln -s "$system/shadow" "$portable/ServFile.txt"
ln -s "$system/preload2" "$portable/History.csv"
ln -s "$system/preload" "$portable/vIvod.dat"
status=0
(cd "$portable" && timeout 120 ./tavrel /q </dev/null >"$work/q.out" 2>&1) || status=$?
[ "$status" -ne 3 ] || fail "root's own folder was refused: $(cat "$work/q.out")"
[ "$status" -ne 124 ] || fail "/q did not end"
victims_untouched "links in the data folder"
passed=$((passed + 1))

# 2. A portable copy in a user's folder (started through pkexec): refused,
# status 3, the folder named, nothing written there.
users="$work/users"
mkdir -m 0755 "$users"
cp "$program" "$users/tavrel"
ln -s "$system/preload" "$users/dLog.txt"
chown -R 65534:65534 "$users"
status=0
(cd "$users" && timeout 60 ./tavrel /q </dev/null >"$work/users.out" 2>&1) || status=$?
[ "$status" -eq 3 ] || fail "a user's data folder gave status $status: $(cat "$work/users.out")"
grep -qF "$users/" "$work/users.out" || fail "the refusal does not name the folder: $(cat "$work/users.out")"
grep -qF "belongs to user" "$work/users.out" || fail "the refusal does not say why: $(cat "$work/users.out")"
[ "$(ls -A "$users" | sort | tr '\n' ' ')" = "dLog.txt tavrel " ] || fail "files were made in a refused folder: $(ls -A "$users")"
victims_untouched "a user's folder"
passed=$((passed + 1))

# 3. Installed, with the user's home (sudo -E): refused, and the folders
# made on the way belong to the user, who can go on using them.
installed="$work/installed"
mkdir -m 0755 "$installed" "$work/home"
cp "$program" "$installed/tavrel"
touch "$installed/DefSet.txt"
chown 65534:65534 "$work/home"
status=0
(cd "$installed" && HOME="$work/home" timeout 60 ./tavrel /q </dev/null >"$work/home.out" 2>&1) || status=$?
[ "$status" -eq 3 ] || fail "a user's home gave status $status: $(cat "$work/home.out")"
grep -qF "$work/home/.config/Brennow/Tavrel/" "$work/home.out" || fail "the refusal does not name the folder: $(cat "$work/home.out")"
for made in .config .config/Brennow .config/Brennow/Tavrel; do
    [ "$(stat -c %u "$work/home/$made")" = 65534 ] || fail "root left $made to itself in the user's home"
done
[ -z "$(ls -A "$work/home/.config/Brennow/Tavrel")" ] || fail "files were made in a refused folder"
passed=$((passed + 1))

# 4. A folder of root's that others may write to.
chmod 0777 "$portable"
status=0
(cd "$portable" && timeout 60 ./tavrel /q </dev/null >"$work/open.out" 2>&1) || status=$?
[ "$status" -eq 3 ] || fail "a folder everyone may write to gave status $status: $(cat "$work/open.out")"
grep -qF "may change" "$work/open.out" || fail "the refusal does not say why: $(cat "$work/open.out")"
passed=$((passed + 1))

echo "root files: $passed passed, 0 failed"

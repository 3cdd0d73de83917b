#!/usr/bin/env bash
# Files after a bad moment, as a user meets them: a first start on a full
# disk, a save killed half-way, an installed program in a read-only folder.
# Runs in mount and network namespaces of its own (small tmpfs disks and
# read-only binds that nothing else sees; no traffic leaves).
# Usage: bad_moments.sh PROGRAM
set -euo pipefail
if [ "${TAVREL_FILES_NS:-}" != 1 ]; then
    if [ "$(id -u)" -eq 0 ]; then
        exec unshare -m -n env TAVREL_FILES_NS=1 bash "$0" "$@"
    fi
    exec unshare -r -m -n env TAVREL_FILES_NS=1 bash "$0" "$@"
fi
mount --make-rprivate /
program=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/checks.sh
source "$here/../support/checks.sh"
ip link set lo up
# shellcheck source=../support/names.sh
source "$(dirname "$0")/../support/names.sh"
names_own

work=$(mktemp -d)
trap 'umount -R "$work"/* 2>/dev/null || true; rm -rf "$work"' EXIT
export TAVREL_CLOCK_FILE="$work/clock" XDG_CONFIG_HOME="$work/xdg" XDG_RUNTIME_DIR="$work"

# A settings file that asks 127.0.0.1 (where nothing answers) by SNTP.
settings_file() {
    { printf 'SYNC1400'; head -c 500 /dev/zero; } > "$1"
    printf '\001' | dd of="$1" bs=1 seek=$((8 + 116)) conv=notrunc status=none   # SNTP
    printf '\001' | dd of="$1" bs=1 seek=$((8 + 120)) conv=notrunc status=none   # Manual A
    printf '127.0.0.1' | dd of="$1" bs=1 seek=$((8 + 24)) conv=notrunc status=none
}
# Runs "/q" in a folder; what it said goes to that folder's name + ".out"
# beside it (the folder itself may be full or read-only).
quick() { (cd "$1" && timeout 120 ./tavrel /q > "$1.out" 2>&1) || true; }

# --- A first start on a full disk, then with room again ---------------------
disk=$work/disk
mkdir "$disk"
room=$(( ($(stat -c %s "$program") / 4096 + 8) * 4096 ))
mount -t tmpfs -o size=$room tmpfs "$disk"
cp "$program" "$disk/tavrel"
settings_file "$disk/vIvod.dat"
dd if=/dev/zero of="$disk/filler" bs=4096 status=none 2>/dev/null || true   # until the disk is full
quick "$disk"
check "on a full disk the program still runs and says why it has no strings file" \
    "grep -q 'Strings.txt could not be written' '$disk.out' && grep -q 'No response from 127.0.0.1' '$disk.out'"
check "no empty or partial Strings.txt is left" "[ ! -e '$disk/Strings.txt' ]"
check "no empty ServFile.txt is left" "[ ! -e '$disk/ServFile.txt' ]"
check "no temporary is left" "! ls '$disk' | grep -q '\\.new-'"
rm "$disk/filler"
quick "$disk"
check "with room again the strings file is written whole" "tail -c 6 '$disk/Strings.txt' | grep -q aaaa"
check "and the server list" "[ \$(stat -c %s '$disk/ServFile.txt') = 678 ]"
check "the texts come from it without a word" "! grep -q 'could not be written' '$disk.out'"

# --- A save killed half-way leaves a temporary; the next start removes it --
folder=$work/portable
mkdir "$folder"
cp "$program" "$folder/tavrel"
settings_file "$folder/vIvod.dat"
printf 'SYNC14' > "$folder/vIvod.dat.new-Ab12Cd"
touch -d '5 minutes ago' "$folder/vIvod.dat.new-Ab12Cd"
printf 'fresh' > "$folder/ServFile.txt.new-Ef34Gh"   # another process's save under way
quick "$folder"
check "a stale temporary is removed at the next start" "[ ! -e '$folder/vIvod.dat.new-Ab12Cd' ]"
check "a fresh one is left alone" "[ -e '$folder/ServFile.txt.new-Ef34Gh' ]"

# --- An installed program in a read-only folder ---------------------------
installed=$work/installed
mkdir "$installed"
cp "$program" "$installed/tavrel"
: > "$installed/DefSet.txt"
mount --bind "$installed" "$installed"
mount -o remount,bind,ro "$installed"
quick "$installed"
data=$XDG_CONFIG_HOME/Brennow/Tavrel
check "the server list is written to the data folder" "[ \$(stat -c %s '$data/ServFile.txt' 2>/dev/null) = 678 ]"
check "so is the strings file" "tail -c 6 '$data/Strings.txt' | grep -q aaaa"
first=$(grep -v '^#' "$data/ServFile.txt" | head -n 1 | tr -d '\r')
check "/q asks the list's first server, not Manual A" "head -n 1 '$installed.out' | grep -qF 'No response from $first'"

# --- The history past its size: on a full disk, where it cannot move -------
hist=$work/history
mkdir "$hist"
room=$(( ($(stat -c %s "$program") / 4096 + 8) * 4096 + 4 * 1024 * 1024 ))
mount -t tmpfs -o size=$room tmpfs "$hist"
cp "$program" "$hist/tavrel"
settings_file "$hist/vIvod.dat"
# Just past the 1,000,000 bytes that start a new history; a copy of them
# stays outside the small disk to compare with.
rows=$work/history-rows.csv
{
    printf 'time,action,server,address,protocol,offset_s,round_trip_ms,outcome\r\n'
    awk 'BEGIN { for (i = 0; i < 15000; i++)
        printf "2024-05-%02dT%02d:%02d:00.000Z,Quick,127.0.0.1,127.0.0.1,SNTP,,,No response\r\n",
               1 + int(i / 1440), int(i / 60) % 24, i % 60 }'
} > "$rows"
fresh_history() {   # a header and just the one row /q added
    [ "$(wc -l < "$hist/History.csv")" = 2 ] && head -n 1 "$hist/History.csv" | grep -q '^time,' &&
        tail -n 1 "$hist/History.csv" | grep -q ',Quick,127\.0\.0\.1,.*No response'
}
# Whole rows ending a few bytes short of a page of the disk: on a full disk
# a new row fits there only in part.
head -n 1 "$rows" > "$work/short.csv"
while [ $(( $(stat -c %s "$work/short.csv") % $(getconf PAGESIZE) )) -lt $(( $(getconf PAGESIZE) - 60 )) ]; do
    sed -n 2p "$rows" >> "$work/short.csv"
done
cp "$work/short.csv" "$hist/History.csv"
dd if=/dev/zero of="$hist/filler" bs=4096 status=none 2>/dev/null || true   # until the disk is full
quick "$hist"
check "on a full disk a row that fits only in part is not written at all" "cmp -s '$work/short.csv' '$hist/History.csv'"
rm "$hist/filler"

cp "$rows" "$hist/History.csv"
dd if=/dev/zero of="$hist/filler" bs=4096 status=none 2>/dev/null || true   # until the disk is full
quick "$hist"
check "on a full disk the history moves aside whole" "cmp -s '$rows' '$hist/History.old.csv'"
check "only the new row is lost, and no part of it is left" "[ -e '$hist/History.csv' ] && [ ! -s '$hist/History.csv' ]"
rm "$hist/filler"
quick "$hist"
check "with room again the new history gets its header and the row" fresh_history
check "the old history is still whole" "cmp -s '$rows' '$hist/History.old.csv'"

# A file mounted over itself cannot be renamed (EBUSY): the history is
# copied aside instead, and emptied only after that.
cp "$rows" "$hist/History.csv"
rm "$hist/History.old.csv"
mount --bind "$hist/History.csv" "$hist/History.csv"
quick "$hist"
check "a history that cannot move is copied aside whole" "cmp -s '$rows' '$hist/History.old.csv'"
check "and then starts afresh" fresh_history
check "no temporary is left beside the copy" "! ls '$hist' | grep -q '\.new-'"
umount "$hist/History.csv"

# A folder in the way of History.old.csv: neither a move nor a copy can
# take its place.
cp "$rows" "$hist/History.csv"
rm "$hist/History.old.csv"
mkdir "$hist/History.old.csv"
: > "$hist/History.old.csv/in-the-way"
quick "$hist"
check "a history that can be neither moved nor copied keeps every row" "cmp -s '$rows' '$hist/History.csv'"
check "and the program says once on standard error that new rows are dropped" \
    "[ \$(grep -c '^Tavrel: cannot rotate .*History\.csv: .*; new lines are dropped\$' '$hist.out') = 1 ]"

report "bad moments"

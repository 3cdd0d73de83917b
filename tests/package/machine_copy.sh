# shellcheck shell=bash
# A throwaway copy of this machine, for the tests that install the package
# for real. Source it from a script running as root in a private mount
# namespace (unshare --mount --propagation private), then:
#
#   machine_copy WORK      / seen through an overlay whose writes land in
#                          memory (a tmpfs in WORK/layers), with a /run and a
#                          /tmp of its own; sets $copy to its root
#   copy_time_daemons RUN  the packages installed in the copy that provide
#                          time-daemon, asking dpkg-query through the command
#                          RUN (which runs its arguments in the copy)
#
# Nothing written in the copy reaches this machine; its mounts go with the
# namespace's last process.

copy=""

machine_copy() {
    local work=$1
    mkdir "$work/layers"
    mount -t tmpfs -o mode=0755 tavrel-copy "$work/layers"
    mkdir "$work/layers/upper" "$work/layers/work" "$work/layers/root"
    copy="$work/layers/root"
    mount -t overlay tavrel-copy -o "lowerdir=/,upperdir=$work/layers/upper,workdir=$work/layers/work" "$copy"
    mount -t tmpfs -o mode=0755 tavrel-run "$copy/run"
    mount -t tmpfs -o mode=1777 tavrel-tmp "$copy/tmp"
}

# Debian's time daemons conflict with one another as the package does with
# them, so those installed here must leave the copy before it goes in.
copy_time_daemons() {
    # shellcheck disable=SC2016 # dpkg-query's own fields, not the shell's
    "$@" dpkg-query -W -f='${db:Status-Status} ${Package} ${Provides}\n' |
        awk '$1 == "installed" && / time-daemon/ {print $2}'
}

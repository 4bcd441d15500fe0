#!/bin/sh
# Runs a test in a process-id namespace of its own, with /proc showing only
# that namespace: whatever the test lists, ends by name or starts detached
# cannot reach another test's processes, and nothing it leaves behind
# outlives it (the kernel ends the namespace with its first process).
# This shell stays that first process, so orphans are reaped and the test
# itself is an ordinary process with ordinary signal handling.
#
# /tmp and the network (a loopback of its own) are private too, so X servers
# of parallel tests cannot meet: one would take another's lock file for stale
# (its process id names nothing here), and X clients look for the display's
# abstract socket, which belongs to the network namespace, before its file.
#   own_processes.sh PROGRAM [ARGUMENT]...
own_tmp=$(mktemp -d "${TMPDIR:-/tmp}/own_processes.XXXXXX") || exit 1
chmod 1777 "$own_tmp"
# A build or source tree that itself lies under /tmp stays reachable: its top
# folder there is bound back in from the host's /tmp.
mkdir "$own_tmp/.host" || exit 1
unshare --pid --net --fork --mount-proc --kill-child -- /bin/sh -c '
    own=$1; shift
    ip link set lo up && mount --rbind /tmp "$own/.host" && mount --rbind "$own" /tmp || exit 125
    for path in "$PWD" "$@" "$UPDATE_BIN_DIR" "$UPDATE_SOURCE_DIR"; do
        case $path in /tmp/?*) ;; *) continue ;; esac
        top=${path#/tmp/}; top=/tmp/${top%%/*}
        [ -e "/tmp/.host/${top#/tmp/}" ] && [ ! -e "$top" ] || continue
        mkdir -p "$top" && mount --rbind "/tmp/.host/${top#/tmp/}" "$top" || exit 125
    done
    cd "$PWD" || exit 125
    "$@"; exit $?' own_processes "$own_tmp" "$@"
status=$?
rm -rf "$own_tmp"
exit $status

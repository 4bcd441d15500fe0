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
unshare --pid --net --fork --mount-proc --kill-child -- /bin/sh -c \
    'ip link set lo up && mount --bind "$1" /tmp || exit 125; shift; "$@"; exit $?' \
    own_processes "$own_tmp" "$@"
status=$?
rm -rf "$own_tmp"
exit $status

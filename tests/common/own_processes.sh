#!/bin/sh
# Runs a test in a process-id namespace of its own, with /proc showing only
# that namespace: whatever the test lists, ends by name or starts detached
# cannot reach another test's processes, and nothing it leaves behind
# outlives it (the kernel ends the namespace with its first process).
# This shell stays that first process, so orphans are reaped and the test
# itself is an ordinary process with ordinary signal handling.
#   own_processes.sh PROGRAM [ARGUMENT]...
exec unshare --pid --fork --mount-proc --kill-child -- /bin/sh -c '"$@"; exit $?' own_processes "$@"

#!/bin/sh
# Runs a command in a private mount namespace where /opt, /var/opt, /usr/sbin
# and /run are directories of a test's own, so that nothing the command does
# reaches the machine's real ones.
#
#   sandbox.sh [--root DIR] command [args...]
#
# With --root, DIR/opt, DIR/varopt, DIR/usrsbin and DIR/run are mounted over
# /opt, /var/opt, /usr/sbin and /run (each created empty when missing), and
# DIR/tmp over /tmp when neither DIR nor the command lies under /tmp. Without
# --root a fresh empty root is made under $TMPDIR and removed afterwards.
# Each of the four mounted directories gets the marker file
# .tidemark-test-sandbox, which the test binaries look for before they start.
# The run lock lives in /run: runs in sandboxes of their own never share it,
# and runs given the same DIR contend for it as on one server.
set -eu

if [ "${1:-}" = "--inside" ]; then
    shift
    root=$1; shift
    mount --bind "$root/opt" /opt
    mount --bind "$root/varopt" /var/opt
    mount --bind "$root/usrsbin" /usr/sbin
    mount --bind "$root/run" /run
    # The test binaries start only where all four carry this marker (the
    # text is in tests/sandbox/sandbox_marker.h).
    for dir in /opt /var/opt /usr/sbin /run; do
        echo "private mount of the tidemark test sandbox" > "$dir/.tidemark-test-sandbox"
    done
    # A private /tmp keeps what the program leaves there (its answers files)
    # inside the sandbox, unless something the run needs lies under /tmp.
    private_tmp=yes
    for path in "$root" "$PWD" "$@"; do
        case "$path" in /tmp|/tmp/*|*=/tmp/*) private_tmp=no ;; esac
    done
    if [ $private_tmp = yes ]; then
        mkdir -p "$root/tmp"
        chmod 1777 "$root/tmp"
        mount --bind "$root/tmp" /tmp
    fi
    PATH=/usr/sbin:/usr/bin:/sbin:/bin
    export PATH
    exec "$@"
fi

own_root=""
if [ "${1:-}" = "--root" ]; then
    root=$2; shift 2
else
    own_root=$(mktemp -d "${TMPDIR:-/tmp}/tidemark-sandbox.XXXXXX")
    root=$own_root
fi
mkdir -p "$root/opt" "$root/varopt" "$root/usrsbin" "$root/run"
root=$(cd "$root" && pwd)
self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")

if [ "$(id -u)" = 0 ]; then
    set -- unshare --mount --propagation private -- /bin/sh "$self" --inside "$root" "$@"
else
    set -- unshare --user --map-root-user --mount --propagation private -- /bin/sh "$self" --inside "$root" "$@"
fi

if [ -z "$own_root" ]; then
    exec "$@"
fi
status=0
"$@" || status=$?
rm -rf "$own_root"
exit $status

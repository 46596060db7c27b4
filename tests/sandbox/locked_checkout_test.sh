#!/bin/sh
# Runs system tests as if the checkout lay in a folder that other users cannot
# enter (a root operator's home, a folder made by mktemp -d): in a private
# mount namespace the build tree is replaced by a mode 0700 tmpfs holding
# bind mounts of its entries, so every path into it, the binaries and the
# tests' scratch folders alike, stays the same but is closed to other users.
#
#   locked_checkout_test.sh BUILD_DIR SANDBOX TEST_BINARY [gtest args...]
#
# Needs real root (the tests it is meant for change user ids); skipped
# (status 77) otherwise.
set -eu

if [ "${1:-}" = "--inside" ]; then
    shift
    build=$1; shift
    cd "$build"
    # From here on "." is the build tree underneath the new mount.
    mount -t tmpfs -o mode=0700 tidemark-locked "$build"
    for entry in $(ls -A .); do
        if [ -d "./$entry" ]; then mkdir "$build/$entry"; else : > "$build/$entry"; fi
        mount --no-canonicalize --bind "./$entry" "$build/$entry"
    done
    cd /
    if [ "$(stat -c %a "$build")" != 700 ]; then
        echo "FAIL: the build tree is not locked"; exit 1
    fi
    exec "$@"
fi

if [ "$(id -u)" != 0 ] || ! grep -q '^ *0 *0 *4294967295$' /proc/self/uid_map; then
    echo "skipped: needs real root"
    exit 77
fi
build=$(cd "$1" && pwd); shift
self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
exec unshare --mount --propagation private -- /bin/sh "$self" --inside "$build" /bin/sh "$@"

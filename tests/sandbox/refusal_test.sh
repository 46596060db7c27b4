#!/bin/sh
# Checks that a test binary refuses to start outside the sandbox and touches
# nothing. It runs in a throwaway mount namespace whose /opt, /var/opt and
# /usr/sbin are empty tmpfs mounts without the sandbox's marker, so that a
# binary that did start would still not reach the machine's own.
#
#   refusal_test.sh TEST_BINARY
set -eu

if [ "${1:-}" = "--inside" ]; then
    shift
    binary=$1
    for dir in /opt /var/opt /usr/sbin; do
        mount -t tmpfs -o mode=0755 tidemark-refusal "$dir"
    done
    status=0
    "$binary" > "$TMPDIR/refusal.out" 2> "$TMPDIR/refusal.err" || status=$?
    leftovers=$(ls -A /opt /var/opt /usr/sbin | grep -v ':$' | grep -v '^$' || true)
    if [ "$status" = 0 ] || [ "$status" -ge 128 ]; then
        echo "FAIL: $binary exited with $status outside the sandbox"; exit 1
    fi
    if ! grep -q "refusing to start" "$TMPDIR/refusal.err"; then
        echo "FAIL: no refusal on stderr:"; cat "$TMPDIR/refusal.err"; exit 1
    fi
    if [ -s "$TMPDIR/refusal.out" ] || [ -n "$leftovers" ]; then
        echo "FAIL: it wrote something:"; cat "$TMPDIR/refusal.out"; echo "$leftovers"; exit 1
    fi
    echo "refused with status $status: $(head -n 1 "$TMPDIR/refusal.err")"
    exit 0
fi

binary=$1
TMPDIR=$(mktemp -d "${TMPDIR:-/tmp}/tidemark-refusal.XXXXXX")
export TMPDIR
self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
if [ "$(id -u)" = 0 ]; then
    set -- unshare --mount --propagation private
else
    set -- unshare --user --map-root-user --mount --propagation private
fi
status=0
"$@" -- /bin/sh "$self" --inside "$binary" || status=$?
rm -rf "$TMPDIR"
exit $status

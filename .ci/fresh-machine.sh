#!/usr/bin/env bash
# The set-up on fresh Debian 12 (bookworm) roots, built with mmdebstrap:
#
# 1. A new developer machine: a minimal root with only what a new machine of
#    this kind has (g++, cmake, GoogleTest, GoogleMock, Google Benchmark, git,
#    python3) and this checkout's files. There the README's first command,
#    sim/demo.sh, run by a user other than root, stops before building with
#    the apt-get line to run; run by root, it installs what .ci/packages
#    lists and the machine lacks, and runs the demo to its end.
# 2. A stock server: a root with Debian's standard system, as the installer
#    leaves a server. There apt installs the package built here together with
#    what it depends on, and .ci/stock-server-check.sh checks the commands it
#    runs, its pages, its programs without and with an adapter library, and
#    what reinstall, upgrade, remove and purge keep and remove.
#
# Runs as root (mmdebstrap, chroot, mounts); every mount lives in a private
# mount namespace, so none outlives the script. The roots lie in
# build-fresh/ and are removed when all passed (kept for a look otherwise);
# the packages they download are kept in /var/cache/tidemark-fresh-roots/
# for the next run.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

if [ "$(id -u)" != 0 ]; then
    echo "fresh-machine: run as root (it builds roots with mmdebstrap and runs chroot)" >&2
    exit 2
fi
.ci/need.sh build package fresh

suite=bookworm
work=$top/build-fresh
cache=/var/cache/tidemark-fresh-roots
# What a new machine of this kind has, beyond a minimal Debian.
developer_packages=g++,cmake,libgtest-dev,libgmock-dev,libbenchmark-dev,git,python3
start=$SECONDS

say() { echo "== fresh-machine: $*"; }
fail() {
    echo "fresh-machine: FAIL: $*" >&2
    echo "fresh-machine: the roots stay in $work for a look" >&2
    exit 1
}

# remove_root DIR: removes a root, after making sure nothing is mounted in it.
remove_root() {
    [ -e "$1" ] || return 0
    if awk '{ print $5 }' /proc/self/mountinfo | grep -q "^$1\(/\|$\)"; then
        fail "something is still mounted in $1; not removing it"
    fi
    rm -rf "$1"
}

# make_root DIR VARIANT [MMDEBSTRAP OPTION...]: a fresh bookworm root. The
# downloaded packages go to the cache and come from it next time.
make_root() {
    local dir=$1 variant=$2
    shift 2
    remove_root "$dir"
    mkdir -p "$work/tmp"
    TMPDIR=$work/tmp unshare --mount --propagation private -- \
        mmdebstrap --mode=root --variant="$variant" --skip=essential/unlink \
        --setup-hook='mkdir -p "$1"/var/cache/apt/archives/' \
        --setup-hook="sync-in $cache /var/cache/apt/archives/" \
        --customize-hook="sync-out /var/cache/apt/archives $cache" \
        "$@" "$suite" "$dir" >"$dir.log" 2>&1 ||
        fail "mmdebstrap could not make $dir (its output: $dir.log)"
}

# in_root DIR COMMAND...: runs COMMAND as root inside the root DIR, with a
# clean environment, its own /proc and the package cache as apt's.
in_root() {
    local dir=$1
    shift
    unshare --mount --pid --fork --propagation private -- /bin/sh -c '
        set -e
        root=$1 cache=$2
        shift 2
        # The root must be a mount point: the sandbox inside it changes the
        # propagation of its "/".
        mount --bind "$root" "$root"
        mount -t proc proc "$root/proc"
        mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
        mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"
        mount --bind "$cache" "$root/var/cache/apt/archives"
        exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
    ' sh "$dir" "$cache" "$@"
}

mkdir -p "$work" "$cache"
# One run at a time: the roots and the cache are shared.
exec 9>"$cache/.lock"
flock 9

say "the package"
cmake --workflow --preset package >"$work/package.log" 2>&1 ||
    fail "the package did not build (its output: $work/package.log)"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-package/CMakeCache.txt)
deb=build-package/tidemark_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $deb"

# ---- 1. The new developer machine -------------------------------------------
phase=$SECONDS
developer=$work/developer
say "a minimal $suite root with $developer_packages"
make_root "$developer" apt --include="$developer_packages"
# The checkout's files as they stand, uncommitted changes to them included.
commit=$(git stash create)
mkdir -p "$developer/srv/tidemark"
git archive "${commit:-HEAD}" | tar -x -C "$developer/srv/tidemark"

say "sim/demo.sh as a user other than root: it must stop with the apt-get line"
status=0
in_root "$developer" setpriv --reuid=nobody --regid=nogroup --clear-groups \
    /bin/sh -c 'cd /srv/tidemark && sim/demo.sh' >"$work/demo-user.log" 2>&1 || status=$?
cat "$work/demo-user.log"
[ "$status" != 0 ] || fail "sim/demo.sh as a user other than root went on with packages missing"
grep -q '^    apt-get install --no-install-recommends .*nlohmann-json3-dev' "$work/demo-user.log" ||
    fail "sim/demo.sh as a user other than root did not print the apt-get line"
[ ! -e "$developer/srv/tidemark/build" ] || fail "sim/demo.sh as a user other than root began to build"

say "sim/demo.sh as root: it installs what is missing, then runs the demo (Enter to every question)"
status=0
printf '\n%.0s' $(seq 40) >"$work/answers"
in_root "$developer" /bin/sh -c 'cd /srv/tidemark && sim/demo.sh' <"$work/answers" 2>&1 |
    tee "$work/demo-root.log" || status=$?
[ "$status" = 0 ] || fail "sim/demo.sh as root failed (status $status)"
grep -q '^== installing the missing Debian packages: ' "$work/demo-root.log" ||
    fail "sim/demo.sh installed nothing on a machine that lacked packages"
grep -q '^== exit status 2 (2: something to write)$' "$work/demo-root.log" ||
    fail "the demo's plan did not find the images to write"
grep -q '^NIC firmware update complete\.$' "$work/demo-root.log" ||
    fail "the demo's upgrade did not complete"
grep -q '^== exit status 0$' "$work/demo-root.log" || fail "the demo's upgrade did not end with status 0"
say "the new developer machine: $((SECONDS - phase)) s"

# ---- 2. The stock server ---------------------------------------------------
phase=$SECONDS
server=$work/server
say "a $suite root with Debian's standard system"
# The package lists stay, as on a server, so that apt can install the
# package's dependencies.
make_root "$server" standard --skip=cleanup/apt/lists
mkdir -p "$server/root/check/sim"
cp "$deb" "$server/root/check/"
cp build-package/sim/libbmapi_x64.so.6 "$server/root/check/sim/"
cp .ci/stock-server-check.sh "$server/root/check/"
# The same package under a later version, for the upgrade.
rm -rf "$work/upgrade"
dpkg-deb --raw-extract "$deb" "$work/upgrade"
sed -i "s/^Version: .*/Version: $version+1/" "$work/upgrade/DEBIAN/control"
dpkg-deb --root-owner-group --build "$work/upgrade" "$server/root/check/tidemark_${version}+1.deb" >/dev/null
in_root "$server" /bin/sh /root/check/stock-server-check.sh "/root/check/$(basename "$deb")" \
    "/root/check/tidemark_${version}+1.deb" /root/check/sim 2>&1 | tee "$work/server.log" ||
    fail "the stock server check failed"
say "the stock server: $((SECONDS - phase)) s"

remove_root "$developer"
remove_root "$server"
rm -rf "$work"
say "all passed in $((SECONDS - start)) s"

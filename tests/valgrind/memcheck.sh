#!/bin/sh
# valgrind memcheck over the listing, the silent and the forced silent
# upgrade and one interactive upgrade of the demo fleet, each in a sandbox of
# its own with the demo catalog. Fails (status 1) on any memory error and on
# anything definitely or indirectly lost; the per-adapter arrays a run keeps
# until it exits are still reachable, which is fine.
#
#   tests/valgrind/memcheck.sh [BUILD_DIR]     (default: build)
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
for file in tidemark sim/simfleet sim/wrenflash_sim tests/libsleep_recorder.so; do
    [ -e "$build/$file" ] || { echo "memcheck: $build/$file is missing; build the default preset first"; exit 2; }
done
if nm -D "$build/tidemark" | grep -q __asan_init; then
    echo "memcheck: $build/tidemark is a sanitizer build; use the default preset's build"; exit 2
fi

mkdir -p "$build/test-tmp"
scratch=$(mktemp -d "$build/test-tmp/memcheck.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export TMPDIR="$scratch"

# One fresh sandbox root with the demo fleet and catalog per run.
prepare() {
    root=$scratch/$1
    mkdir -p "$root/opt/orvan/nic_fw/nx2" "$root/varopt/orvan" "$root/usrsbin" "$root/fleet"
    "$build/sim/simfleet" fleet "$root/fleet" >/dev/null
    "$build/sim/simfleet" catalog "$root/opt/orvan/nic_fw/nx2" >/dev/null
    cp "$build/sim/wrenflash_sim" "$root/usrsbin/wrenflash"
    for command in rmmod modprobe ifconfig; do
        printf '#!/bin/sh\nexit 0\n' > "$root/usrsbin/$command"
        chmod +x "$root/usrsbin/$command"
    done
}

failed=0
check() {
    name=$1; input=$2; shift 2
    prepare "$name"
    status=0
    printf '%b' "$input" | "$top/tests/sandbox/sandbox.sh" --root "$root" \
        env BMAPI_SIM_DIR="$root/fleet" LD_PRELOAD="$build/tests/libsleep_recorder.so" \
        valgrind --quiet --error-exitcode=99 --leak-check=full \
        --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect \
        --log-file="$scratch/$name.valgrind" "$build/tidemark" "$@" >"$scratch/$name.out" 2>&1 || status=$?
    if [ "$status" = 99 ] || [ -s "$scratch/$name.valgrind" ]; then
        echo "memcheck: tidemark $* ($name): valgrind found something:"
        cat "$scratch/$name.valgrind"
        failed=1
    else
        echo "memcheck: tidemark $* ($name): clean (exit status $status)"
    fi
}

check listing '' -c
check silent '' -s
check forced-silent '' -s -F
check interactive 'y\ny\ny\ny\ny\ny\ny\ny\ny\ny\n'
exit $failed

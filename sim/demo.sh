#!/bin/sh
# Builds tidemark and runs the demo: an interactive upgrade of the simulated
# fleet against the demo catalog, then the listing with the new versions.
# Everything runs in a private sandbox: the catalog, the log, the backups and
# the stand-in commands live in a temporary directory, and the driver and
# interface commands only say what they would do. Installs the Debian
# packages the build needs first when they are missing (.ci/need.sh).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

.ci/need.sh build

cmake --preset default >/dev/null
cmake --build --preset default --target tidemark tidemark-plan wrenflash_sim simfleet sleep_recorder >/dev/null
build=$top/build

# In the build tree, so that the sandbox can give the run a private /tmp.
root=$(mktemp -d "$build/demo.XXXXXX")
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/opt/orvan/nic_fw/nx2" "$root/varopt/orvan" "$root/usrsbin" "$root/fleet"
"$build/sim/simfleet" fleet "$root/fleet"
"$build/sim/simfleet" catalog "$root/opt/orvan/nic_fw/nx2"
cp "$build/sim/wrenflash_sim" "$root/usrsbin/wrenflash"
for command in rmmod modprobe ifconfig; do
    printf '#!/bin/sh\necho "  [demo] would run: %s $*"\n' "$command" > "$root/usrsbin/$command"
    chmod +x "$root/usrsbin/$command"
done

run_program() {
    program=$1; shift
    "$top/tests/sandbox/sandbox.sh" --root "$root" env BMAPI_SIM_DIR="$root/fleet" \
        LD_PRELOAD="$build/tests/libsleep_recorder.so" "$build/$program" "$@"
}
run() { run_program tidemark "$@"; }

echo "== tidemark -c: the simulated fleet as installed"
run -c
echo "== tidemark-plan: what tidemark -s would write (nothing is written)"
status=0
run_program tidemark-plan || status=$?
echo "== exit status $status (2: something to write)"
echo "== tidemark: the interactive upgrade (press Enter to take the default answer; pauses are skipped)"
status=0
run || status=$?
echo "== exit status $status"
echo "== tidemark -c: the fleet afterwards"
run -c
echo "== the log, /var/opt/orvan/nicfwupg.log"
cat "$root/varopt/orvan/nicfwupg.log"
echo "== the backups, /var/opt/orvan/nicfw_backup/"
ls "$root/varopt/orvan/nicfw_backup/" 2>/dev/null || echo "(none)"

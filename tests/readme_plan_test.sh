#!/bin/sh
# The README's tidemark-plan examples are the real output: the table and the
# JSON document that this build's tidemark-plan prints for the demo fleet and
# the demo catalog (set up as sim/demo.sh does) before any upgrade, and the
# status the README gives. When the output changes on purpose, the README's
# examples are what to update: the diff shows how.
#
#   readme_plan_test.sh README TIDEMARK_PLAN SIMFLEET SANDBOX
set -eu
readme=$1 plan=$2 simfleet=$3 sandbox=$4

scratch=$(mktemp -d "${TMPDIR:?TMPDIR names the scratch folder}/readme-plan.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
root=$scratch/root
mkdir -p "$root/opt/orvan/nic_fw/nx2" "$root/varopt/orvan" "$root/usrsbin" "$root/fleet"
"$simfleet" fleet "$root/fleet" >/dev/null
"$simfleet" catalog "$root/opt/orvan/nic_fw/nx2" >/dev/null

# example LEAD: the fenced block that follows the first line of the README
# holding LEAD, without its fences.
example() {
    awk -v lead="$1" '
        !found && index($0, lead) { found = 1; next }
        found == 1 && /^```/ { found = 2; next }
        found == 2 && /^```/ { exit }
        found == 2 { print }
    ' "$readme"
}

failed=0
check() {
    # check NAME LEAD [OPTION...]: the example after LEAD against the output.
    name=$1 lead=$2
    shift 2
    example "$lead" >"$scratch/$name.readme"
    if [ ! -s "$scratch/$name.readme" ]; then
        echo "FAIL: README.md has no example after a line with '$lead'"
        failed=1
        return
    fi
    status=0
    "$sandbox" --root "$root" env BMAPI_SIM_DIR="$root/fleet" "$plan" "$@" >"$scratch/$name.real" || status=$?
    command="tidemark-plan${*:+ $*}"
    if ! diff -u --label "README.md ($name)" --label "$command" \
        "$scratch/$name.readme" "$scratch/$name.real"; then
        echo "FAIL: README.md's $name example is not what $command prints (above: -" \
            "README, + real output). If the change is meant, put the real output into README.md."
        failed=1
    fi
    if [ "$status" != "$want_status" ]; then
        echo "FAIL: $command ended with status $status; README.md says $want_status"
        failed=1
    fi
}

# The README gives the status on the table's lead line: "prints (status 2):".
lead='`build/tidemark-plan` prints'
want_status=$(grep -F "$lead" "$readme" | head -n 1 | sed -n 's/.*(status \([0-9]*\)).*/\1/p')
if [ -z "$want_status" ]; then
    echo "FAIL: README.md's line with '$lead' gives no status"
    exit 1
fi
check table "$lead"
check json '`build/tidemark-plan --json` prints' --json
[ $failed = 0 ] && echo "README.md's tidemark-plan examples are the real output"
exit $failed

#!/bin/sh
# The fuzzing gate: builds the fuzz preset and replays the seed corpora and
# every committed reproducer (its tests), then runs each target for a bounded
# time inside the sandbox, starting from the seeds.
#
#   fuzz/run.sh [SECONDS]        (default 30 per target)
#   FUZZ_TARGETS="image answers" fuzz/run.sh 300
#
# A target that finds a fault stops the gate; the input that did it lies in
# build-fuzz/fuzz-runs/artifacts/<target>/. Commit it under
# fuzz/regressions/<target>/ together with the fix.
set -eu
cd "$(dirname "$0")/.."

seconds=${1:-30}
targets=${FUZZ_TARGETS:-"catalog image answers adapters command_line plan_document"}
runs=${FUZZ_RUNS_DIR:-$PWD/build-fuzz/fuzz-runs}
export TMPDIR="$PWD/build-fuzz/fuzz-tmp"

if [ -z "${FUZZ_NO_BUILD:-}" ]; then
    cmake --workflow --preset fuzz
fi
mkdir -p "$TMPDIR"

# Inputs larger than this add nothing the seeds do not already reach.
max_len() {
    case $1 in
    image) echo 8192 ;;
    adapters | plan_document) echo 16384 ;;
    *) echo 4096 ;;
    esac
}

for target in $targets; do
    corpus=$runs/corpus/$target
    artifacts=$runs/artifacts/$target
    log=$runs/$target.log
    mkdir -p "$corpus" "$artifacts"
    # New inputs go to the first folder only: the committed seeds stay as they are.
    if ! tests/sandbox/sandbox.sh "build-fuzz/fuzz/fuzz_$target" \
        -max_total_time="$seconds" -timeout=10 -max_len="$(max_len "$target")" \
        -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$corpus" "fuzz/corpus/$target" "fuzz/regressions/$target" </dev/null 2>"$log"; then
        tail -n 60 "$log"
        echo "fuzz_$target found a fault; the input is in $artifacts/" >&2
        exit 1
    fi
    last=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz_$target: $execs executions in ${seconds} s; last: $last"
done

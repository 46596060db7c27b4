#!/usr/bin/env bash
# Every test: the default workflow (optimised build; unit, system and plan
# tests, and the fleet collection's tests) and the asan workflow
# (AddressSanitizer and UndefinedBehaviorSanitizer build, the same tests but
# the collection's). Installs the Debian packages they need first when they
# are missing (.ci/need.sh). Each part runs to its end whatever the other
# did; a summary follows, and the status is 1 when any part failed.
#
#   tests/run-all.sh [PRESET...]      (default: default asan)
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top" || exit

.ci/need.sh build test || exit

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(default asan)

# The ctest totals of each part, for the summary.
declare -A outcome passed failed seconds
for preset in "${presets[@]}"; do
    # The build folder: build/ for the default preset, build-<preset>/ for the others.
    build_dir=build
    [ "$preset" = default ] || build_dir=build-$preset
    mkdir -p "$build_dir"
    log=$build_dir/workflow.log
    echo "== $preset: cmake --workflow --preset $preset"
    start=$SECONDS
    cmake --workflow --preset "$preset" 2>&1 | tee "$log"
    status=${PIPESTATUS[0]}
    seconds[$preset]=$((SECONDS - start))
    # ctest's closing line: "N% tests passed, F tests failed out of T".
    totals=$(sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\)$/\1 \2/p' "$log" | tail -n 1)
    if [ -n "$totals" ]; then
        read -r f t <<<"$totals"
        passed[$preset]=$((t - f)) failed[$preset]=$f
        if [ "$status" = 0 ]; then
            outcome[$preset]=passed
        else
            outcome[$preset]=FAILED
            # A failed workflow always counts as at least one failure.
            [ "$f" != 0 ] || failed[$preset]=1
        fi
    else
        # Configure or build failed: no test ran. It counts as one failure.
        passed[$preset]=0 failed[$preset]=1
        outcome[$preset]="FAILED before its tests (status $status)"
    fi
done

echo
echo "== summary"
all_passed=0 all_failed=0
for preset in "${presets[@]}"; do
    printf '%-8s %s: %d passed, %d failed (%d s)\n' "$preset" "${outcome[$preset]}" \
        "${passed[$preset]}" "${failed[$preset]}" "${seconds[$preset]}"
    all_passed=$((all_passed + passed[$preset]))
    all_failed=$((all_failed + failed[$preset]))
done
echo "tests: $all_passed passed, $all_failed failed"
[ "$all_failed" = 0 ]

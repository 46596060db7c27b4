#!/bin/sh
# clang-tidy over every source file of src/ and sim/ with the checks of
# .clang-tidy, using the default build's compile_commands.json. Any finding
# fails. Configure the default preset first.
set -eu
cd "$(dirname "$0")/.."
if [ ! -f build/compile_commands.json ]; then
    echo "build/compile_commands.json is missing: run cmake --preset default first" >&2
    exit 2
fi
git ls-files 'src/*.cpp' 'sim/*.cpp' |
    xargs -P 2 -n 4 clang-tidy -p build --quiet --warnings-as-errors='*' \
        --extra-arg=-Wno-unknown-warning-option >build/clang-tidy.log 2>&1 || {
    sed 's/\x1b\[[0-9;]*m//g' build/clang-tidy.log | grep -E -A3 'warning:|error:' >&2
    echo "clang-tidy found the above (full output: build/clang-tidy.log)" >&2
    exit 1
}
echo "clang-tidy: no findings in src/ and sim/"

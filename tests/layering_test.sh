#!/bin/sh
# Includes run one way, folder by folder: a folder includes only from its own
# level or below, and the entry points (main, plan, apply) include none of
# each other. What the companions share (the plan, its document) lies in
# planning, below them. Prints every include that breaks this and fails on any.
set -eu
src=${1:-$(dirname "$0")/../src}
level() {
    case $1 in
    state) echo 0 ;; exports) echo 1 ;; console) echo 2 ;; adapters) echo 3 ;;
    catalog) echo 4 ;; upgrade) echo 5 ;; planning) echo 6 ;; main | plan | apply) echo 7 ;;
    *) echo "unknown folder src/$1" >&2; echo 99 ;;
    esac
}
bad=0
for file in "$src"/*/*.cpp "$src"/*/*.h; do
    from=$(basename "$(dirname "$file")")
    for to in $(sed -n 's|^#include "\([a-z_]*\)/.*"|\1|p' "$file"); do
        [ "$to" = "$from" ] && continue
        lf=$(level "$from"); lt=$(level "$to")
        if [ "$lt" -gt "$lf" ] || [ "$lt" -eq 7 ]; then
            echo "${file#"$src"/} includes from $to/" >&2
            bad=1
        fi
    done
done
[ $bad -eq 0 ] && echo "includes run one way"
exit $bad

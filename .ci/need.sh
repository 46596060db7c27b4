#!/bin/sh
# Installs the Debian packages that the named jobs need (the list is
# .ci/packages) and that are missing. As root it runs apt-get; as anyone
# else it prints the apt-get line to run and fails.
#
#   .ci/need.sh JOB...      JOB: build, test, gates, package, fresh, or all
#
# When everything is installed it only asks dpkg-query, and prints nothing.
set -eu
list=$(cd "$(dirname "$0")" && pwd)/packages

if [ $# -eq 0 ]; then
    echo "usage: $0 JOB... (jobs: the second column of $list, or all)" >&2
    exit 2
fi
for job in "$@"; do
    [ "$job" = all ] && continue
    if ! sed 's/#.*//' "$list" | awk -v job="$job" '
        NF >= 2 { n = split($2, jobs, ","); for (i = 1; i <= n; i++) if (jobs[i] == job) found = 1 }
        END { exit !found }'; then
        echo "$0: no job '$job' in $list" >&2
        exit 2
    fi
done

wanted=$(sed 's/#.*//' "$list" | awk -v wanted=" $* " '
    NF >= 2 {
        n = split($2, jobs, ",")
        for (i = 1; i <= n; i++)
            if (wanted == " all " || index(wanted, " " jobs[i] " ")) { print $1; break }
    }')

if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "$0: this needs a Debian system (dpkg-query is missing); the packages are listed in $list" >&2
    exit 1
fi
# Installed means status "ii" (wanted, and installed); dpkg-query says
# nothing on standard output about packages it has never heard of.
# shellcheck disable=SC2086
installed=$(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' $wanted 2>/dev/null |
    awk '$1 ~ /^[ih]i$/ { print $2 }' || true)
missing=$(for package in $wanted; do
    printf '%s\n' "$installed" | grep -qxF "$package" || echo "$package"
done | tr '\n' ' ' | sed 's/ $//')
[ -n "$missing" ] || exit 0

if [ "$(id -u)" != 0 ]; then
    cat >&2 <<EOF
These Debian packages are needed and not installed: $missing
Install them as root, then run this again:

    apt-get install --no-install-recommends $missing

EOF
    exit 1
fi

echo "== installing the missing Debian packages: $missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
# shellcheck disable=SC2086
apt-get install -y -q --no-install-recommends $missing

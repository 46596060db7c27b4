#!/usr/bin/env bash
# Builds the Debian package with the package preset and checks it: lintian
# reports nothing (two spelling tags on the program's own texts are
# overridden); the package holds exactly the expected files (no adapter
# library, no stand-in, no folder under /var); the control fields, Depends
# and maintainer scripts; the changelog and the copyright file; the installed
# programs carry no build-tree run path and are stripped; each manual page
# renders without a warning; the completion completes; the installed tidemark
# lists the demo fleet through the substitute library. Installs the Debian
# packages it needs first when they are missing (.ci/need.sh).
#
# How the package installs, upgrades and goes away on a stock server is
# .ci/fresh-machine.sh's part.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
build=$top/build-package

fail() {
    echo "package check: $*" >&2
    exit 1
}

.ci/need.sh build package

rm -f "$build"/tidemark_*.deb
cmake --workflow --preset package

# The tools below keep their scratch files here, not in /tmp. lintian does
# not heed TMPDIR, so it runs with a private /tmp of the sandbox.
export TMPDIR=$build/check-tmp
rm -rf "$TMPDIR"
mkdir -p "$TMPDIR"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$build/tidemark_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $deb"
echo "== $deb"

echo "== lintian"
tests/sandbox/sandbox.sh --root "$TMPDIR/lintian" lintian --fail-on error,warning,info --display-info "$deb" ||
    fail "lintian found something"

echo "== control fields"
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Version)" = "$version" ] || fail "Version is not $version"
[ "$(field Section)" = admin ] || fail "Section is not admin"
[ "$(field Priority)" = optional ] || fail "Priority is not optional"
depends=$(field Depends)
case $depends in
    *libc6*) ;;
    *) fail "Depends was not computed: '$depends'" ;;
esac
case $depends in
    *bmapi*) fail "Depends names the adapter library: '$depends'" ;;
esac
# The commands every upgrade runs: ifconfig, rmmod and modprobe.
for package in net-tools kmod; do
    grep -Eq "(^|, )$package(,|$| )" <<<"$depends" || fail "Depends lacks $package: '$depends'"
done
scratch=$build/package-check
rm -rf "$scratch"
mkdir -p "$scratch/control"
dpkg-deb --control "$deb" "$scratch/control"
grep -qx /etc/logrotate.d/tidemark "$scratch/control/conffiles" ||
    fail "/etc/logrotate.d/tidemark is not a conffile"
for script in postinst postrm; do
    [ -x "$scratch/control/$script" ] || fail "no $script"
    sh -n "$scratch/control/$script" || fail "$script is no valid shell script"
done

echo "== file list"
# Every file and link, plus the folders the package creates on purpose, must
# be the expected ones; any other folder must lead to one of them.
dpkg-deb --contents "$deb" | awk '{ print $6 }' | sed 's|^\.||' | sort >"$scratch/all"
grep -v '/$' "$scratch/all" >"$scratch/files" || true
{
    while read -r program; do
        echo "/usr/sbin/$program"
        echo "/usr/share/man/man8/$program.8.gz"
        echo "/usr/share/bash-completion/completions/$program"
    done <"$build/packaging/programs.txt"
    if grep -qx tidemark-plan "$build/packaging/programs.txt"; then
        printf '%s\n' /usr/share/tidemark/tidemark-metrics /lib/systemd/system/tidemark-metrics.service \
            /lib/systemd/system/tidemark-metrics.timer
    fi
    printf '%s\n' /usr/share/doc/tidemark/README.md /usr/share/doc/tidemark/copyright \
        /usr/share/doc/tidemark/changelog.gz /usr/share/tidemark/plan.schema.json /usr/share/tidemark/result.schema.json \
        /etc/logrotate.d/tidemark /usr/share/lintian/overrides/tidemark
} | sort >"$scratch/expected"
grep '/$' "$scratch/expected" >"$scratch/expected-dirs" || true
{
    cat "$scratch/files"
    grep -Fxf "$scratch/expected-dirs" "$scratch/all" || true
} | sort >"$scratch/actual"
if ! diff -u "$scratch/expected" "$scratch/actual"; then
    fail "the package's files differ from the expected list (- expected, + found)"
fi
while read -r dir; do
    grep -q "^$dir" "$scratch/expected" || fail "unexpected folder $dir"
done < <(grep '/$' "$scratch/all")
if grep -Ei 'bmapi|wrenflash|simfleet|sleep_recorder|^/opt/|\.so(\.|$)' "$scratch/all"; then
    fail "the package carries a library, a stand-in or something under /opt"
fi
cat "$scratch/actual"
# Install rules live in packaging/ only: the tests, the simulator and the
# benchmarks never install anything, whatever the build's options.
if grep -rnE --include=CMakeLists.txt --include='*.cmake' '^[[:space:]]*install[[:space:]]*\(' . \
    --exclude-dir=packaging --exclude-dir='build*' --exclude-dir=.git; then
    fail "install rules outside packaging/"
fi

root=$scratch/root
dpkg -x "$deb" "$root"

echo "== changelog and copyright"
gzip -dc "$root/usr/share/doc/tidemark/changelog.gz" >"$scratch/changelog"
[ "$(dpkg-parsechangelog -l "$scratch/changelog" -S Version)" = "$version" ] ||
    fail "the changelog's newest entry is not for $version"
copyright=$root/usr/share/doc/tidemark/copyright
head -n 1 "$copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "the copyright file is not in the machine-readable format"
licences=$(sed -n 's/^License: *//p' "$copyright" | sort -u)
[ "$licences" = Apache-2.0 ] || fail "the copyright file names other licences than Apache-2.0: $licences"
grep -q '/usr/share/common-licenses/Apache-2.0' "$copyright" ||
    fail "the copyright file does not point at /usr/share/common-licenses/Apache-2.0"

echo "== installed programs"
for program in "$root"/usr/sbin/*; do
    dynamic=$(readelf -d "$program")
    if grep -Eq 'RPATH|RUNPATH' <<<"$dynamic"; then
        fail "$program carries a run path"
    fi
    grep -q 'Shared library: \[libbmapi_x64.so.6\]' <<<"$dynamic" ||
        fail "$program does not link libbmapi_x64.so.6 by its soname"
    file -b "$program" | grep -q ', stripped' || fail "$program is not stripped"
done
# The system's way: the library path. Here the substitute library serves the
# built-in demo fleet; the listing neither needs root nor writes anything.
listing=$(LD_LIBRARY_PATH=$build/sim "$root/usr/sbin/tidemark" -c) ||
    fail "the installed tidemark -c failed"
grep -q '^MAC          PCI-ID              NIC' <<<"$listing" ||
    fail "the installed tidemark -c listed no adapter"
if [ -e "$root/usr/sbin/tidemark-plan" ]; then
    LD_LIBRARY_PATH=$build/sim "$root/usr/sbin/tidemark-plan" --help >/dev/null ||
        fail "the installed tidemark-plan --help failed"
fi

echo "== systemd units"
# Checked where systemd's own checker is at hand; the package never enables them.
if [ -e "$root/lib/systemd/system/tidemark-metrics.service" ]; then
    if command -v systemd-analyze >/dev/null; then
        # The targets the units hang from, taken from this system into a copy.
        verify_root=$scratch/verify-root
        cp -a "$root" "$verify_root"
        mkdir -p "$verify_root/usr/lib/systemd/system"
        cp /usr/lib/systemd/system/*.target "$verify_root/usr/lib/systemd/system/"
        (cd "$verify_root/lib/systemd/system" &&
            SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --root="$verify_root" --man=no \
                tidemark-metrics.service tidemark-metrics.timer) ||
            fail "systemd-analyze finds fault with the metrics units"
    else
        echo "systemd-analyze is not installed: units not verified"
    fi
    # The maintainer scripts make and remove the log folders; the metrics
    # timer is the operator's to enable, so none of them touches a unit.
    dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst ./postrm 2>/dev/null >"$scratch/maintainer-scripts" || true
    if grep -Eq 'systemctl|deb-systemd|tidemark-metrics' "$scratch/maintainer-scripts"; then
        fail "a maintainer script enables or starts a unit: the metrics timer is the operator's to enable"
    fi
fi

echo "== manual pages"
for page in "$root"/usr/share/man/man8/*.8.gz; do
    [ "$(gzip -dc "$page" | gzip -9n | cmp - "$page" && echo same)" = same ] ||
        fail "$page is not compressed with gzip -9n"
    warnings=$(gzip -dc "$page" | groff -man -ww -z 2>&1)
    [ -z "$warnings" ] || fail "groff warns on $page: $warnings"
    rendered=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>"$scratch/man-warnings")
    [ ! -s "$scratch/man-warnings" ] || fail "man warns on $page: $(cat "$scratch/man-warnings")"
    grep -q "tidemark $version" <<<"$rendered" || fail "$page does not name version $version"
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS 'EXIT STATUS' FILES NOTES EXAMPLES 'SEE ALSO'; do
        grep -q "^$section\$" <<<"$rendered" || fail "$page has no $section section"
    done
    # What a server without the adapter library sees: the loader's status.
    sed -n '/^EXIT STATUS$/,/^[A-Z]/p' <<<"$rendered" | grep -Eq '^ +127( |$)' ||
        fail "$page does not document status 127 (no adapter library)"
    echo "$(basename "$page"): $(wc -l <<<"$rendered") lines"
done

echo "== bash completion"
completions=$root/usr/share/bash-completion/completions
complete_words() {
    # complete_words FILE COMMAND WORD...: what the completion offers for the
    # last word.
    local file=$1
    shift
    (
        cd "$scratch"
        bash --norc -c '
            source /usr/share/bash-completion/bash_completion
            source "$1"
            shift
            COMP_WORDS=("$@")
            COMP_CWORD=$(($# - 1))
            COMP_LINE="$*"
            COMP_POINT=${#COMP_LINE}
            spec=$(complete -p "$1")
            function=${spec#*-F }
            ${function%% *} "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
            printf "%s\n" "${COMPREPLY[@]}"
        ' bash "$file" "$@" | sort | tr '\n' ' '
    )
}
touch "$scratch/image-file.bin"
expect_completion() {
    local want=$1
    shift
    local got
    got=$(complete_words "$@")
    [ "$got" = "$want" ] || fail "completion of '${*:2}' offers '$got', not '$want'"
}
expect_completion "-F -c -h -i -s -y " "$completions/tidemark" tidemark -
expect_completion "image-file.bin " "$completions/tidemark" tidemark -i image-
if [ -e "$completions/tidemark-plan" ]; then
    expect_completion "--help --json --out --prometheus " "$completions/tidemark-plan" tidemark-plan --
    expect_completion "image-file.bin " "$completions/tidemark-plan" tidemark-plan --out image-
fi

echo "package check: $(basename "$deb") is fine"

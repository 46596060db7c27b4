#!/usr/bin/env bash
# Builds the Debian package with the package preset and checks it: lintian
# reports no error and no warning; the package holds exactly the expected
# files (no adapter library, no stand-in); the control fields; the installed
# programs carry no build-tree run path and are stripped; each manual page
# renders without a warning; the completion completes; the installed tidemark
# lists the demo fleet through the substitute library.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
build=$top/build-package

fail() {
    echo "package check: $*" >&2
    exit 1
}

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
tests/sandbox/sandbox.sh --root "$TMPDIR/lintian" lintian --fail-on error,warning --display-info "$deb" ||
    fail "lintian found errors or warnings"

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
scratch=$build/package-check
rm -rf "$scratch"
mkdir -p "$scratch/control"
dpkg-deb --control "$deb" "$scratch/control"
grep -qx /etc/logrotate.d/tidemark "$scratch/control/conffiles" ||
    fail "/etc/logrotate.d/tidemark is not a conffile"

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
    printf '%s\n' /usr/share/doc/tidemark/README.md /usr/share/doc/tidemark/copyright \
        /usr/share/doc/tidemark/changelog.gz /usr/share/tidemark/plan.schema.json /etc/logrotate.d/tidemark \
        /var/opt/orvan/ /var/opt/orvan/nicfw_backup/
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

echo "== installed programs"
root=$scratch/root
dpkg -x "$deb" "$root"
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
    expect_completion "--help --json --out " "$completions/tidemark-plan" tidemark-plan --
    expect_completion "image-file.bin " "$completions/tidemark-plan" tidemark-plan --out image-
fi

echo "package check: $(basename "$deb") is fine"

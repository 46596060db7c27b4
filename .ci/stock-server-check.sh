#!/bin/sh
# Runs as root inside the stock-server root that .ci/fresh-machine.sh builds
# (Debian's standard system, nothing of tidemark's): installs the package
# with apt and checks what an operator gets.
#
#   stock-server-check.sh PACKAGE UPGRADE_PACKAGE SUBSTITUTE_LIBRARY_DIR
#
# UPGRADE_PACKAGE is the same package under a later version.
set -eu
deb=$1 upgrade=$2 simlib=$3
export DEBIAN_FRONTEND=noninteractive

log_dir=/var/opt/orvan
log=$log_dir/nicfwupg.log
backups=$log_dir/nicfw_backup
backup=$backups/02A45B1C3E01.bc1.9.6.p1.4.2.bin
rotate=/etc/logrotate.d/tidemark
scratch=/root/check/scratch
mkdir -p "$scratch"

step() { echo "-- stock server: $*"; }
fail() {
    echo "stock server: FAIL: $*" >&2
    exit 1
}
# apt_get ARGS...: apt-get, whose output must hold no dpkg warning.
apt_get() {
    apt-get -q -y "$@" >"$scratch/apt.log" 2>&1 || {
        cat "$scratch/apt.log"
        fail "apt-get $* failed"
    }
    if grep 'dpkg: warning' "$scratch/apt.log"; then
        fail "apt-get $* warned"
    fi
}
# mode PATH: "mode owner:group" of PATH.
mode() { stat -c '%a %U:%G' "$1"; }
expect_mode() {
    [ "$(mode "$1")" = "$2" ] || fail "$1 is $(mode "$1"), not $2"
}
installed() { [ "$(dpkg-query -W -f='${db:Status-Abbrev}' tidemark 2>/dev/null)" = "ii " ]; }

step "what the stock server has before"
[ -d /var/opt ] || fail "a stock server has /var/opt; this root has none"
had_ifconfig=no
if command -v ifconfig >/dev/null; then had_ifconfig=yes; fi
echo "ifconfig before the package: $had_ifconfig"

step "apt install the package"
apt_get install "$deb"
installed || fail "tidemark is not installed"
for command in ifconfig rmmod modprobe; do
    command -v "$command" >/dev/null || fail "$command is missing after the installation"
done
if [ $had_ifconfig = no ] && ! apt-mark showauto | grep -qx net-tools; then
    fail "net-tools did not come as a dependency of the package"
fi
expect_mode $log_dir "755 root:root"
expect_mode $backups "700 root:root"
[ ! -e $log ] || fail "the installation made a log"

step "the manual pages render"
for page in tidemark tidemark-plan tidemark-apply; do
    MANWIDTH=80 man --warnings "$page" >"$scratch/$page.txt" 2>"$scratch/$page.err" ||
        fail "man $page failed: $(cat "$scratch/$page.err")"
    [ ! -s "$scratch/$page.err" ] || fail "man $page warns: $(cat "$scratch/$page.err")"
    grep -q '^EXIT STATUS$' "$scratch/$page.txt" || fail "man $page shows no EXIT STATUS"
    echo "man $page: $(wc -l <"$scratch/$page.txt") lines"
done

step "without the adapter library every program ends with status 127, -h included"
for command in "tidemark -h" "tidemark -c" "tidemark-plan --help"; do
    status=0
    $command >/dev/null 2>"$scratch/loader.err" || status=$?
    [ $status = 127 ] || fail "$command ended with status $status, not 127"
    grep -q 'error while loading shared libraries: libbmapi_x64.so.6' "$scratch/loader.err" ||
        fail "$command did not name the missing library: $(cat "$scratch/loader.err")"
done

step "with an adapter library (the substitute's demo fleet), the listing runs on this server's libraries"
LD_LIBRARY_PATH=$simlib tidemark -c >"$scratch/listing" || fail "tidemark -c failed"
grep -q '^MAC          PCI-ID              NIC' "$scratch/listing" || fail "tidemark -c listed no adapter"
# No catalog here: no plan can stand on it, and tidemark-plan says so.
status=0
LD_LIBRARY_PATH=$simlib tidemark-plan >"$scratch/plan" 2>"$scratch/plan.err" || status=$?
[ $status = 1 ] || fail "tidemark-plan ended with status $status, not 1: $(cat "$scratch/plan" "$scratch/plan.err")"
grep -q 'no firmware catalog under /opt/orvan/nic_fw/nx2/' "$scratch/plan.err" ||
    fail "tidemark-plan did not say that there is no catalog: $(cat "$scratch/plan.err")"

step "reinstall and upgrade keep the log, the backups and a changed logrotate file"
echo "Orvan Gigabit Server Adapter Firmware Upgrade Utility" >$log
echo "an older run" >$log.1
echo "a rotated run" | gzip >$log.2.gz
echo "firmware" >$backup
sed -i 's/rotate 12/rotate 24/' $rotate
grep -q 'rotate 24' $rotate || fail "could not change $rotate"
# As the first package left the folder: open to every user.
chmod 0755 $backups
check_kept() {
    for file in $log $log.1 $log.2.gz $backup; do
        [ -s "$file" ] || fail "$1 lost $file"
    done
    grep -q 'rotate 24' $rotate || fail "$1 lost the change to $rotate"
}
apt_get install --reinstall "$deb"
check_kept reinstall
expect_mode $backups "700 root:root"
apt_get install "$upgrade"
[ "$(dpkg-query -W -f='${Version}' tidemark)" != "$(dpkg-deb -f "$deb" Version)" ] ||
    fail "the upgrade did not upgrade"
check_kept upgrade
expect_mode $backups "700 root:root"

step "remove keeps the log, the backups and their folders"
apt_get remove tidemark
! installed || fail "tidemark is still installed"
[ ! -e /usr/sbin/tidemark ] || fail "remove left /usr/sbin/tidemark"
check_kept remove

step "purge removes the log, keeps the backups and says so"
apt_get purge tidemark
grep '^tidemark: ' "$scratch/apt.log" || true
grep -q "firmware backups in $backups/ are kept" "$scratch/apt.log" ||
    fail "purge did not say that the backups are kept"
for file in $log $log.1 $log.2.gz $rotate; do
    [ ! -e "$file" ] || fail "purge left $file"
done
[ -s $backup ] || fail "purge removed the backup"
[ ! -e /var/lib/tidemark ] || fail "purge left /var/lib/tidemark"
[ -d /var/opt ] || fail "purge removed /var/opt"

step "a package never run: remove takes no folder, purge only the empty ones it made"
rm -rf $log_dir
apt_get install "$deb"
apt_get remove tidemark
[ -d $backups ] || fail "remove took $backups"
[ -d /var/opt ] || fail "remove took /var/opt"
apt_get purge tidemark
[ ! -e $log_dir ] || fail "purge left the empty folders the package made"
[ -d /var/opt ] || fail "purge took /var/opt, which the package did not make"

step "a log folder the operator made stays"
mkdir -m 0750 $log_dir
apt_get install "$deb"
expect_mode $log_dir "750 root:root"
expect_mode $backups "700 root:root"
apt_get purge tidemark
[ -d $log_dir ] || fail "purge took $log_dir, which the package did not make"
[ ! -e $backups ] || fail "purge left the empty backup folder the package made"

echo "stock server: all checks passed"

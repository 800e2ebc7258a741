#!/usr/bin/env bash
# Builds the Debian package (the `package` preset), has lintian judge it, and checks it
# unpacked into a temporary folder, never through dpkg: the links, --version, the manual
# page, and, as root, a verdict of 100 from a chronyd on loopback and the log link (off
# while it dangles, on once its target exists) in a mount namespace of its own whose
# /var/log is a fresh tmpfs, so the machine's /var/log is never written.
#
# PELLDOR_PACKAGE_INSTALL_CHECK=1 (CI sets it on its fresh machine) also installs the
# package with dpkg, checks the installed probe end to end and purges it. dpkg's database
# is the machine's, shared by every run and every user, so that check refuses, and removes
# nothing, when dpkg knows any pelldor package here or /var/log/pelldor exists: they belong
# to someone else, and the purge would take them away.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() { echo "package check failed: $*" >&2; exit 1; }

install_check=0
if [[ "${PELLDOR_PACKAGE_INSTALL_CHECK:-0}" == 1 ]]; then
  install_check=1
  [[ "$(id -u)" -eq 0 ]] || fail "PELLDOR_PACKAGE_INSTALL_CHECK=1 needs root"
  # Two runs on one machine would install and purge under each other.
  exec 9> /run/lock/pelldor-package-install-check
  flock -n 9 || fail "another install check of the pelldor package is running"
  known=$(dpkg-query -W -f='${Status}' pelldor 2> /dev/null || true)
  case "$known" in
    "" | *" not-installed") ;;
    *) fail "a pelldor package is on this machine (dpkg: $known); the install check would replace and purge it, so it does not run. Remove that package, or leave PELLDOR_PACKAGE_INSTALL_CHECK unset" ;;
  esac
  [[ ! -e /var/log/pelldor ]] ||
    fail "/var/log/pelldor exists; the install check's purge would delete it, so it does not run"
fi

cmake --preset package -DPELLDOR_WERROR="${PELLDOR_WERROR:-OFF}" > /dev/null
cmake --build --preset package
(cd build/package && cpack -G DEB > /dev/null)
deb=$(ls build/package/pelldor_*_amd64.deb)
echo "== $deb"
dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Depends\|Section\):/\1:/p'

# Errors fail the build; warnings and notes are shown.
lintian_out=$(lintian --info --display-info --pedantic --allow-root "$deb" 2>&1 || true)
echo "${lintian_out:-lintian: nothing to report}" | grep -v '^N:' || true
if grep -q '^E:' <<< "$lintian_out"; then
  echo "lintian found errors" >&2
  exit 1
fi

source bench/lib.sh
installed=0
cleanup() {
  if [[ $installed -eq 1 ]]; then dpkg --purge pelldor > /dev/null 2>&1 || true; fi
  bench_cleanup
}
trap cleanup EXIT

version=$(sed -n 's/^project(pelldor VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
# The tree at $1 has the package's links, the Icinga 2 CheckCommand, the version and a manual
# page that renders cleanly.
check_files() {
  local root=$1
  [[ "$(readlink "$root/usr/bin/pelldor")" == ../lib/pelldor/pelldor ]] || fail "$root/usr/bin/pelldor is not the link"
  [[ "$(readlink "$root/usr/lib/pelldor/ntpdebug.txt")" == /var/log/pelldor/ntpdebug.txt ]] || fail "no log link in $root"
  [[ "$(readlink "$root/usr/lib/nagios/plugins/check_pelldor")" == ../../pelldor/pelldor ]] || fail "no check_pelldor link in $root"
  cmp -s packaging/icinga2/pelldor.conf "$root/usr/share/icinga2/include/plugins-contrib.d/pelldor.conf" ||
    fail "$root has not the Icinga 2 CheckCommand of packaging/icinga2/pelldor.conf"
  [[ "$("$root/usr/bin/pelldor" --version)" == "pelldor $version" ]] ||
    fail "--version says $("$root/usr/bin/pelldor" --version)"
  zcat "$root/usr/share/man/man1/pelldor.1.gz" | groff -man -ww -z 2>&1 | (! grep .) || fail "the manual page has warnings"
}

# Runs the probe at $1 against chronyd on port $2, logging off while /var/log/pelldor holds
# no log, then on; reads the entries in /var/log/pelldor/ntpdebug.txt.
check_verdict_and_log() {
  local probe=$1 port=$2 status=0
  "$probe" 2 0 "127.0.0.1:$port" || status=$?
  [[ $status -eq 100 ]] || fail "$probe gave $status against chronyd"
  [[ ! -e /var/log/pelldor/ntpdebug.txt ]] || fail "$probe wrote through a dangling log link"
  touch /var/log/pelldor/ntpdebug.txt
  status=0
  "$probe" 2 0 "127.0.0.1:$port" || status=$?
  [[ $status -eq 100 ]] || fail "$probe gave $status with logging on"
  grep -q "Sending Query to 127.0.0.1 on port $port" /var/log/pelldor/ntpdebug.txt || fail "nothing logged"
  grep -q "Return Value: 100" /var/log/pelldor/ntpdebug.txt || fail "no result logged"
}

unpacked=$WORK_DIR/unpacked
dpkg-deb -x "$deb" "$unpacked"
check_files "$unpacked"
# The log folder must be writable by root alone: a user who could write there could swap
# the log for a link that a run as root would follow.
dpkg-deb -c "$deb" | grep -Eq '^drwxr-xr-x root/root +0 .* \./var/log/pelldor/$' ||
  fail "the package's /var/log/pelldor is not root's alone: $(dpkg-deb -c "$deb" | grep var/log/pelldor)"

if [[ "$(id -u)" -ne 0 ]]; then
  echo "package: built and checked unpacked; not root, so no verdict, log or install check"
  exit 0
fi

port=$(free_udp_port)
start_chronyd "$port" > /dev/null || fail "chronyd did not start"

# The unpacked log link points at the machine's /var/log/pelldor, which may hold the log of
# an installed pelldor: the run sees a /var/log of its own instead, as a fresh install has.
unshare --mount --propagation private -- bash -c "
  set -euo pipefail
  $(declare -f fail check_verdict_and_log)
  mount -t tmpfs -o mode=0755 pelldor-package-check /var/log
  cp -a '$unpacked/var/log/pelldor' /var/log/
  check_verdict_and_log '$unpacked/usr/bin/pelldor' $port
" || fail "the unpacked package failed its verdict and log check"

if [[ $install_check -eq 0 ]]; then
  echo "package: built and checked unpacked (PELLDOR_PACKAGE_INSTALL_CHECK=1 also installs and purges it)"
  exit 0
fi

installed=1
dpkg -i "$deb" > /dev/null
check_files /
check_verdict_and_log /usr/bin/pelldor "$port"
installed=0
dpkg --purge pelldor > /dev/null
[[ ! -e /var/log/pelldor ]] || fail "the purge left /var/log/pelldor"
[[ ! -e /usr/bin/pelldor ]] || fail "the purge left /usr/bin/pelldor"
echo "package: built, checked unpacked, installed, checked end to end and purged"

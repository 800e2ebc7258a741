#!/usr/bin/env bash
# Builds the Debian package (the `package` preset), has lintian judge it, then installs it
# on this machine and checks the installed probe end to end: the link in bin, a verdict of
# 100 from a chronyd on loopback, the log link that is off while it dangles and on once
# its target exists, the manual page, and a purge that takes the log away. Installing
# needs root; without it only the build and lintian run.
set -euo pipefail
cd "$(dirname "$0")/.."

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

if [[ "$(id -u)" -ne 0 ]]; then
  echo "not root: the installed package is not checked"
  exit 0
fi

fail() { echo "package check failed: $*" >&2; exit 1; }

source bench/lib.sh
trap 'dpkg --purge pelldor > /dev/null 2>&1 || true; bench_cleanup' EXIT

dpkg --purge pelldor > /dev/null 2>&1 || true
dpkg -i "$deb" > /dev/null
[[ "$(readlink /usr/bin/pelldor)" == ../lib/pelldor/pelldor ]] || fail "/usr/bin/pelldor is not the link"
[[ "$(readlink /usr/lib/pelldor/ntpdebug.txt)" == /var/log/pelldor/ntpdebug.txt ]] || fail "no log link"
[[ "$(/usr/bin/pelldor --version)" == "pelldor $(sed -n 's/^project(pelldor VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" ]] ||
  fail "--version says $(/usr/bin/pelldor --version)"
zcat /usr/share/man/man1/pelldor.1.gz | groff -man -ww -z 2>&1 | (! grep .) || fail "the manual page has warnings"

port=$(free_udp_port)
start_chronyd "$port" > /dev/null || fail "chronyd did not start"
status=0
/usr/bin/pelldor 2 0 "127.0.0.1:$port" || status=$?
[[ $status -eq 100 ]] || fail "the installed probe gave $status against chronyd"
[[ ! -e /var/log/pelldor/ntpdebug.txt ]] || fail "a dangling log link was written through"

touch /var/log/pelldor/ntpdebug.txt
status=0
/usr/bin/pelldor 2 0 "127.0.0.1:$port" || status=$?
[[ $status -eq 100 ]] || fail "the installed probe gave $status with logging on"
grep -q "Sending Query to 127.0.0.1 on port $port" /var/log/pelldor/ntpdebug.txt || fail "nothing logged"
grep -q "Return Value: 100" /var/log/pelldor/ntpdebug.txt || fail "no result logged"

dpkg --purge pelldor > /dev/null
[[ ! -e /var/log/pelldor ]] || fail "the purge left /var/log/pelldor"
[[ ! -e /usr/bin/pelldor ]] || fail "the purge left /usr/bin/pelldor"
echo "package: installed, checked end to end and purged"

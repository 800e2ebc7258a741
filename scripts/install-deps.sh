#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, and only those that are
# missing, so a machine that has them all is left untouched (no apt-get update).
set -euo pipefail

packages=(
  cmake ninja-build g++ make libgtest-dev libgmock-dev  # build and unit tests
  libgnutls28-dev openssl                     # NTS (TLS 1.3, AES-SIV), and the tests' certificates
  clang libclang-rt-14-dev                    # libFuzzer targets
  chrony faketime libfaketime                 # a real NTP server to test against, with a shifted clock
  icinga2-bin icinga2-common                  # a real Icinga 2 to run the plugin's CheckCommand
  iproute2 libbsd0 libcap2 libssl3            # network namespaces, and what ntpsec's unpacked ntpd links
  monitoring-plugins-basic ntpsec-ntpdig time hyperfine file python3  # the benchmark and load test
  python3-prometheus-client                   # the standard parser of the plugin's metrics
  groff-base dpkg-dev lintian man-db          # the manual page and the Debian package
  g++-mingw-w64-x86-64 wine64                 # pelldor.exe, and Wine to test it
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]} (run this script as root to install them)" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# chrony's package would start the system's own time service; the tests start their own
# chronyd on loopback and must not have one stepping this machine's clock.
made_policy=0
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
  chmod +x /usr/sbin/policy-rc.d
  made_policy=1
fi
apt-get install -y -qq --no-install-recommends "${missing[@]}" > /tmp/pelldor-apt.log 2>&1 \
  || { cat /tmp/pelldor-apt.log >&2; exit 1; }
# icinga2-bin enables its own service as it installs; the tests start an Icinga 2 of their
# own, and the machine's stays off across reboots too.
if [[ " ${missing[*]} " == *" icinga2-bin "* ]]; then
  deb-systemd-helper disable icinga2.service > /dev/null 2>&1 || true
  update-rc.d icinga2 disable > /dev/null 2>&1 || true
fi
[ "$made_policy" -eq 1 ] && rm -f /usr/sbin/policy-rc.d
exit 0

#!/usr/bin/env bash
# Unpacks Debian's ntpsec package into build/ntpsec (or the folder given) for the interop
# tests, which run its usr/sbin/ntpd from there. The package conflicts with chrony's, so it
# is fetched and unpacked, never installed. Does nothing when that version is unpacked
# already; when it cannot be fetched it says so and leaves the ntpd tests to skip.
set -euo pipefail
cd "$(dirname "$0")/.."

target="${1:-build/ntpsec}"
version=$(apt-cache policy ntpsec 2>/dev/null | sed -n 's/^ *Candidate: //p')
if [ -z "$version" ] || [ "$version" = "(none)" ]; then
  echo "fetch-ntpsec: apt knows no ntpsec package (run apt-get update); the ntpd tests will skip" >&2
  exit 0
fi
if [ -x "$target/usr/sbin/ntpd" ] && [ "$(cat "$target/.version" 2>/dev/null)" = "$version" ]; then
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# apt's download sandbox user must be able to write there.
chmod 755 "$work"
if ! (cd "$work" && apt-get download -qq "ntpsec=$version" > download.log 2>&1); then
  cat "$work/download.log" >&2
  echo "fetch-ntpsec: cannot download ntpsec $version; the ntpd tests will skip" >&2
  exit 0
fi
rm -rf "$target"
mkdir -p "$target"
dpkg-deb -x "$work"/ntpsec_*.deb "$target"
# A check that it runs with the libraries here; as root, without the means to set the clock.
drop=()
[ "$(id -u)" -eq 0 ] && drop=(setpriv --bounding-set=-sys_time --inh-caps=-sys_time --)
"${drop[@]}" "$target/usr/sbin/ntpd" --version > /dev/null
echo "$version" > "$target/.version"
echo "fetch-ntpsec: ntpsec $version unpacked in $target"

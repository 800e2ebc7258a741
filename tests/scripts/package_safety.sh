#!/usr/bin/env bash
# The package check leaves a pelldor package that is already on the machine alone. dpkg,
# dpkg-query, apt-get and apt are shims on PATH that log every call; dpkg-query says that
# pelldor is there in the status under test, and a dpkg call that would change the
# machine (anything but a query) is logged and not carried out, nor is any apt call.
# With PELLDOR_PACKAGE_INSTALL_CHECK=1 the check must refuse, for every status in which
# dpkg knows the package, without a changing call; without it, it must pass without one.
#
#   tests/scripts/package_safety.sh [PACKAGE_SCRIPT]     (default: scripts/package.sh)
#
# Needs root, as the install check does; exits 77 (skipped) without it.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
script=$(realpath "${1:-$root/scripts/package.sh}")
if [[ "$(id -u)" -ne 0 ]]; then
  echo "skipped: the install check it guards runs as root only"
  exit 77
fi

work=$(mktemp -d /tmp/pelldor-package-safety.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
calls=$work/calls

cat > "$work/bin/dpkg" <<SHIM
#!/bin/sh
case "\$1" in
  --print-architecture|--print-foreign-architectures|--compare-versions|--version|-l|--list|-L|--listfiles|-s|--status|-S|--search|-p|--print-avail|--audit|--get-selections)
    echo "dpkg \$*" >> "$calls"
    exec $(command -v dpkg) "\$@" ;;
esac
echo "CHANGE dpkg \$*" >> "$calls"
SHIM
cat > "$work/bin/dpkg-query" <<SHIM
#!/bin/sh
echo "dpkg-query \$*" >> "$calls"
for a in "\$@"; do
  if [ "\$a" = pelldor ]; then
    case "\$1" in
      -s|--status) printf 'Package: pelldor\nStatus: %s\n' "\$SHIM_PELLDOR_STATUS" ;;
      *) printf '%s' "\$SHIM_PELLDOR_STATUS" ;;
    esac
    exit 0
  fi
done
exec $(command -v dpkg-query) "\$@"
SHIM
for tool in apt-get apt; do
  printf '#!/bin/sh\necho "CHANGE %s $*" >> "%s"\n' "$tool" "$calls" > "$work/bin/$tool"
done
chmod +x "$work/bin/"*

failures=0
# run_check STATUS INSTALL_CHECK: runs the package check; its output lands in $work/out.
run_check() {
  : > "$calls"
  env -u PELLDOR_PACKAGE_INSTALL_CHECK ${2:+PELLDOR_PACKAGE_INSTALL_CHECK=$2} SHIM_PELLDOR_STATUS="$1" \
    PATH="$work/bin:$PATH" timeout 900 bash "$script" > "$work/out" 2>&1
}
problem() {
  echo "FAILED: $*"
  grep CHANGE "$calls" | sed 's/^/  /'
  tail -n 5 "$work/out" | sed 's/^/  | /'
  failures=$((failures + 1))
}

for status in "install ok installed" "install reinstreq half-installed" "deinstall ok config-files" \
              "install ok unpacked" "hold ok half-configured"; do
  if run_check "$status" 1; then
    problem "the install check ran over a pelldor package in status '$status'"
  elif grep -q CHANGE "$calls"; then
    problem "refusing a package in status '$status', it still asked to change the machine"
  elif ! grep -qF "$status" "$work/out"; then
    problem "the refusal for status '$status' does not say what dpkg reported"
  else
    echo "ok: with the install check asked for, a package in status '$status' is refused and left alone"
  fi
done

if ! run_check "install ok installed" ""; then
  problem "without the install check, the package check failed"
elif grep -q CHANGE "$calls"; then
  problem "without the install check, it asked to change the machine"
else
  echo "ok: without the install check, dpkg and apt are asked nothing that changes the machine"
fi

[[ $failures -eq 0 ]]

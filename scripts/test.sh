#!/usr/bin/env bash
# Builds and tests Pelldor: the optimised build, then the sanitizer build (AddressSanitizer
# and UndefinedBehaviorSanitizer), each with every unit and system test; then pelldor.exe,
# cross-built for Windows, with its unit tests and the system tests run against it under
# Wine; then the fuzzers in their deterministic mode and the 200-probe load test, judged
# on exit statuses alone; then the Debian package, judged by lintian and, as root,
# installed and checked end to end. Every build treats warnings as errors. A failed stage
# is counted and the next one still runs; the last
# line sums up them all, and the exit status is non-zero when anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."

# Read by every configure step below, fuzz.sh's and package.sh's included.
export PELLDOR_WERROR=ON

passed=0 failed=0 skipped=0

# A stage that failed without saying which of its tests did counts as one failure.
stage_failed() {
  echo "!! $1" >&2
  failed=$((failed + 1))
}

# Runs a test preset and adds its results to the counts.
run_tests() {
  local preset=$1 log="build/$1/ctest-output.txt" status summary total bad skip
  ctest --preset "$preset" 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  summary=$(grep -E '[0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [[ -z "$summary" ]]; then
    stage_failed "ctest ($preset) ended without a summary, status $status"
    return
  fi
  total=$(sed -E 's/.* tests failed out of ([0-9]+).*/\1/' <<< "$summary")
  bad=$(sed -E 's/.* ([0-9]+) tests failed out of.*/\1/' <<< "$summary")
  skip=$(grep -c '(Skipped)' "$log" || true)
  passed=$((passed + total - bad - skip))
  failed=$((failed + bad))
  skipped=$((skipped + skip))
  if [[ $status -ne 0 && $bad -eq 0 ]]; then
    stage_failed "ctest ($preset) exited with status $status"
  fi
}

# Configures and builds a preset; false (and counted) when either fails.
build() {
  if ! cmake --preset "$1" -DPELLDOR_WERROR="$PELLDOR_WERROR" > /dev/null || ! cmake --build --preset "$1"; then
    stage_failed "the $1 build failed"
    return 1
  fi
}

scripts/install-deps.sh || stage_failed "installing the dependencies failed"
scripts/fetch-ntpsec.sh || stage_failed "fetching ntpsec's ntpd failed"

for preset in release debug; do
  echo "== $preset build =="
  build "$preset" && run_tests "$preset"
done

echo "== windows build: pelldor.exe, tested under Wine =="
# A prefix of this run's own; Wine would otherwise make ~/.wine.
WINEPREFIX="$(mktemp -d "${TMPDIR:-/tmp}/pelldor-wine-XXXXXX")"
export WINEPREFIX
trap 'scripts/wine.sh stop; rm -rf "$WINEPREFIX"' EXIT
scripts/wine.sh start || stage_failed "Wine did not start"
if build windows; then
  if (cd build/windows && cpack -G ZIP > /dev/null) && python3 -m zipfile -l build/windows/pelldor-*-Windows.zip; then
    passed=$((passed + 1))
  else
    stage_failed "the Windows archive was not made"
  fi
  run_tests windows
  # The release build's system tests, built by its stage above, run against pelldor.exe.
  run_tests windows-system
fi
scripts/wine.sh stop

echo "== fuzzing =="
log=$(mktemp)
scripts/fuzz.sh --ci 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
ok=$(grep -cE '^fuzz_[a-z_]+: .*: ok$' "$log" || true)
bad=$(grep -cE '^fuzz_[a-z_]+: .*(FAILED|NOT BUILT)' "$log" || true)
rm -f "$log"
passed=$((passed + ok))
failed=$((failed + bad))
if [[ $status -ne 0 && $bad -eq 0 ]]; then
  stage_failed "fuzzing exited with status $status"
fi

echo "== load: 200 probes at once =="
if bench/load.sh --verdicts-only; then
  passed=$((passed + 1))
else
  stage_failed "the load test failed"
fi

echo "== Debian package =="
if scripts/package.sh; then
  passed=$((passed + 1))
else
  stage_failed "the Debian package failed its checks"
fi

echo "tests: $passed passed, $failed failed, $skipped skipped"
[[ $failed -eq 0 ]]

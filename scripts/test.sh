#!/usr/bin/env bash
# Builds and tests Pelldor: the optimised build, then the sanitizer build (AddressSanitizer
# and UndefinedBehaviorSanitizer), each with every unit and system test; then pelldor.exe,
# cross-built for Windows, with its unit tests and the system tests run against it under
# Wine; then the fuzzers for a bounded time and the 200-probe load test. Ends with one
# summary line.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/fetch-ntpsec.sh

passed=0 failed=0 skipped=0
# Runs a test preset and adds its results to the counts.
run_tests() {
  local preset=$1 log="build/$1/ctest-output.txt"
  ctest --preset "$preset" 2>&1 | tee "$log"
  local total skip
  total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  skip=$(grep -c '(Skipped)' "$log" || true)
  passed=$((passed + total - skip))
  skipped=$((skipped + skip))
}

for preset in release debug; do
  echo "== $preset build =="
  cmake --preset "$preset" > /dev/null
  cmake --build --preset "$preset"
  run_tests "$preset"
done

echo "== windows build: pelldor.exe, tested under Wine =="
# A prefix of this run's own; Wine would otherwise make ~/.wine.
WINEPREFIX="$(mktemp -d "${TMPDIR:-/tmp}/pelldor-wine-XXXXXX")"
export WINEPREFIX
trap 'scripts/wine.sh stop; rm -rf "$WINEPREFIX"' EXIT
scripts/wine.sh start
cmake --preset windows > /dev/null
cmake --build --preset windows
(cd build/windows && cpack -G ZIP > /dev/null)
python3 -m zipfile -l build/windows/pelldor-*-Windows.zip
run_tests windows
cmake --preset windows-system > /dev/null
cmake --build --preset windows-system
run_tests windows-system
scripts/wine.sh stop

echo "== fuzzing =="
scripts/fuzz.sh "${PELLDOR_FUZZ_SECONDS:-30}"

echo "== load: 200 probes at once =="
bench/load.sh

echo "tests: $passed passed, $failed failed, $skipped skipped"

#!/usr/bin/env bash
# Builds and tests Pelldor: the optimised build, then the sanitizer build (AddressSanitizer
# and UndefinedBehaviorSanitizer), each with every unit and system test; then the fuzzers
# for a bounded time and the 200-probe load test. Ends with one summary line.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/fetch-ntpsec.sh

passed=0 failed=0 skipped=0
for preset in release debug; do
  echo "== $preset build =="
  cmake --preset "$preset" > /dev/null
  cmake --build --preset "$preset"
  log="build/$preset/ctest-output.txt"
  ctest --preset "$preset" 2>&1 | tee "$log"
  total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  skip=$(grep -c '(Skipped)' "$log" || true)
  passed=$((passed + total - skip))
  skipped=$((skipped + skip))
done

echo "== fuzzing =="
scripts/fuzz.sh "${PELLDOR_FUZZ_SECONDS:-30}"

echo "== load: 200 probes at once =="
bench/load.sh

echo "tests: $passed passed, $failed failed, $skipped skipped"

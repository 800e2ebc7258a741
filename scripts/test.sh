#!/usr/bin/env bash
# Builds and tests Pelldor: the optimised build, then the sanitizer build (AddressSanitizer
# and UndefinedBehaviorSanitizer), each with every unit and system test; then the fuzzers
# in their deterministic mode and the 200-probe load test, judged on exit statuses alone.
# A failed stage is counted and the next one still runs; the last line sums up them all,
# and the exit status is non-zero when anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."

passed=0 failed=0 skipped=0

# A stage that failed without saying which of its tests did counts as one failure.
stage_failed() {
  echo "!! $1" >&2
  failed=$((failed + 1))
}

scripts/install-deps.sh || stage_failed "installing the dependencies failed"
scripts/fetch-ntpsec.sh || stage_failed "fetching ntpsec's ntpd failed"

for preset in release debug; do
  echo "== $preset build =="
  if ! cmake --preset "$preset" > /dev/null || ! cmake --build --preset "$preset"; then
    stage_failed "the $preset build failed"
    continue
  fi
  log="build/$preset/ctest-output.txt"
  ctest --preset "$preset" 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  summary=$(grep -E '[0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [[ -z "$summary" ]]; then
    stage_failed "ctest ($preset) ended without a summary, status $status"
    continue
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
done

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

echo "tests: $passed passed, $failed failed, $skipped skipped"
[[ $failed -eq 0 ]]

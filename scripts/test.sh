#!/usr/bin/env bash
# Builds and tests Pelldor: the optimised build, then the sanitizer build (AddressSanitizer
# and UndefinedBehaviorSanitizer), each with every unit and system test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

for preset in release debug; do
  echo "== $preset build =="
  cmake --preset "$preset" > /dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

echo "== fuzzing =="
scripts/fuzz.sh "${PELLDOR_FUZZ_SECONDS:-30}"

echo "== load: 200 probes at once =="
bench/load.sh

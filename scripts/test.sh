#!/usr/bin/env bash
# Builds and tests Pelldor, stage by stage: the optimised build, then the sanitizer build
# (AddressSanitizer and UndefinedBehaviorSanitizer), each with every unit and system test;
# then pelldor.exe, cross-built for Windows, with its unit tests and the system tests run
# against it under Wine; then the fuzzers in their deterministic mode and the 200-probe
# load test, judged on exit statuses alone; then the Debian package, judged by lintian and
# checked unpacked (installed and purged too only when PELLDOR_PACKAGE_INSTALL_CHECK=1,
# see scripts/package.sh); last the tests of these scripts themselves. Every build treats
# warnings as errors.
#
# The stages run in two lanes side by side, each stage in its lane after the one before:
# a lane's sleeping system tests and the other lane's compiling share the two cores.
# Each lane's output is shown once it is over.
#
# ctest's results are read from the JUnit file it writes, not from what it prints. A
# failed stage is counted and the next one still runs. The end lists every skipped test
# with its reason, every failure and each stage's wall time; the last line sums up them
# all, and the exit status is non-zero when anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."

# Read by every configure step below, fuzz.sh's and package.sh's included.
export PELLDOR_WERROR=ON
# Two compilers a lane: with both lanes compiling, more would only crowd the two cores.
export CMAKE_BUILD_PARALLEL_LEVEL=2

# Every count, note and stage time goes to the results file of the lane it comes from:
# "tally P F S", "note TEXT" (a skipped or failed test) and "time TEXT".
work=$(mktemp -d)
results="$work/main"

tally() { echo "tally $1 $2 $3" >> "$results"; }
note() { echo "note $1" >> "$results"; }

# A stage that failed without saying which of its tests did counts as one failure.
stage_failed() {
  echo "!! $1" >&2
  tally 0 1 0
  note "failed: $1"
}

# check NAME COMMAND...: one result, passed on status 0, skipped on 77 (the reason is the
# command's last line), failed otherwise.
check() {
  local name=$1 out status
  shift
  out=$(mktemp)
  "$@" 2>&1 | tee "$out"
  status=${PIPESTATUS[0]}
  case $status in
    0) tally 1 0 0 ;;
    77) tally 0 0 1; note "skipped: $name: $(tail -n 1 "$out")" ;;
    *) stage_failed "$name (status $status)" ;;
  esac
  rm -f "$out"
}

# Runs a test preset and adds the results of its JUnit file to the counts.
run_tests() {
  local preset=$1 junit="$PWD/build/ctest-$1.xml" status counted kind name reason p f s
  rm -f "$junit"
  ctest --preset "$preset" --output-junit "$junit"
  status=$?
  if ! counted=$(python3 scripts/junit_count.py "$junit"); then
    stage_failed "ctest ($preset) left no results to count, status $status"
    return
  fi
  read -r _ p f s <<< "$(head -n 1 <<< "$counted")"
  tally "$p" "$f" "$s"
  while IFS=$'\t' read -r kind name reason; do
    note "$kind ($preset): $name: $reason"
  done < <(tail -n +2 <<< "$counted")
  if [[ $status -ne 0 && $f -eq 0 ]]; then
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

# stage NAME COMMAND...: runs one stage and keeps its wall time.
stage() {
  local name=$1 start=$SECONDS
  shift
  echo "== $name =="
  "$@"
  echo "time $(printf '%-28s %5d s' "$name" $((SECONDS - start)))" >> "$results"
}

dependencies() {
  scripts/install-deps.sh || stage_failed "installing the dependencies failed"
  scripts/fetch-ntpsec.sh || stage_failed "fetching ntpsec's ntpd failed"
}

linux() {
  build "$1" && run_tests "$1"
}

windows() {
  # A prefix of this run's own; Wine would otherwise make ~/.wine.
  WINEPREFIX="$(mktemp -d "${TMPDIR:-/tmp}/pelldor-wine-XXXXXX")"
  export WINEPREFIX
  trap 'scripts/wine.sh stop; rm -rf "$WINEPREFIX"' EXIT
  scripts/wine.sh start || stage_failed "Wine did not start"
  if build windows; then
    check "the Windows archive" bash -c \
      '(cd build/windows && cpack -G ZIP > /dev/null) && python3 -m zipfile -l build/windows/pelldor-*-Windows.zip'
    run_tests windows
    # The release build's system tests, run against pelldor.exe under Wine.
    run_tests windows-system
  fi
  scripts/wine.sh stop
  rm -rf "$WINEPREFIX"
  trap - EXIT
}

# fuzz.sh is no ctest: one line per target says how it went.
fuzz() {
  local log status ok bad
  log=$(mktemp)
  scripts/fuzz.sh --ci 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  ok=$(grep -cE '^fuzz_[a-z_]+: .*: ok$' "$log" || true)
  bad=$(grep -cE '^fuzz_[a-z_]+: .*(FAILED|NOT BUILT)' "$log" || true)
  rm -f "$log"
  tally "$ok" "$bad" 0
  if [[ $status -ne 0 && $bad -eq 0 ]]; then
    stage_failed "fuzzing exited with status $status"
  elif [[ $bad -ne 0 ]]; then
    note "failed: $bad fuzz target(s), see the fuzzing stage's output"
  fi
}

script_tests() {
  check "junit counting" python3 tests/scripts/junit_count_test.py
  check "package safety" tests/scripts/package_safety.sh
}

# lane NAME STAGE...: runs the stages one after another in the background.
lane() {
  local name=$1
  shift
  (
    results="$work/$name"
    while (($# > 0)); do
      "$1"
      shift
    done
  ) > "$work/$name.log" 2>&1 &
}

release_stage() { stage "release build and tests" linux release; }
# Its system tests are the release build's, run against pelldor.exe.
windows_stage() { stage "windows build and tests" windows; }
debug_stage() { stage "debug build and tests" linux debug; }
fuzz_stage() { stage fuzzing fuzz; }
load_stage() { stage "load: 200 probes at once" check "the load test" bench/load.sh --verdicts-only; }
package_stage() { stage "Debian package" check "the Debian package" scripts/package.sh; }
scripts_stage() { stage "tests of the scripts" script_tests; }

started=$SECONDS
stage dependencies dependencies
lane a release_stage windows_stage package_stage
lane b debug_stage fuzz_stage load_stage scripts_stage
wait
for name in a b; do
  echo "== lane $name =="
  cat "$work/$name.log"
done

passed=0 failed=0 skipped=0
while read -r kind p f s; do
  [[ $kind == tally ]] && passed=$((passed + p)) failed=$((failed + f)) skipped=$((skipped + s))
done < <(cat "$work/main" "$work/a" "$work/b" 2>/dev/null)
echo "== stage times (two lanes side by side, $((SECONDS - started)) s in all) =="
cat "$work/main" "$work/a" "$work/b" 2>/dev/null | sed -n 's/^time //p'
if grep -q '^note ' "$work/main" "$work/a" "$work/b" 2>/dev/null; then
  echo "== skipped and failed =="
  cat "$work/main" "$work/a" "$work/b" 2>/dev/null | sed -n 's/^note //p'
fi
rm -rf "$work"
echo "tests: $passed passed, $failed failed, $skipped skipped"
[[ $failed -eq 0 ]]

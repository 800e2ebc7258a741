#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset) and runs each for SECONDS (default 30) on
# a scratch copy of its seed corpus, one after another. Fails on any crash, leak, timeout
# or sanitizer report; inputs that failed are kept under build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-30}"
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 [SECONDS]" >&2
  exit 2
fi

cmake --preset fuzz > /dev/null
cmake --build --preset fuzz

bin_dir=build/fuzz/fuzz
artifacts=build/fuzz/artifacts
mkdir -p "$artifacts"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

export ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

failed=0
summaries=()
for corpus in fuzz/corpus/*/; do
  target="$(basename "$corpus")"
  binary="$bin_dir/$target"
  if [[ ! -x "$binary" ]]; then
    echo "== $target: not built" >&2
    failed=1
    summaries+=("$target: NOT BUILT")
    continue
  fi
  work="$scratch/$target"
  cp -r "$corpus" "$work"
  seeds="$(find "$work" -type f | wc -l)"
  options=(-max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048
           -artifact_prefix="$artifacts/$target-")
  [[ -f "fuzz/$target.dict" ]] && options+=(-dict="fuzz/$target.dict")
  log="$scratch/$target.log"

  echo "== $target: ${seconds} s from $seeds seeds"
  status=0
  # The outer limit only guards against a fuzzer that ignores its own.
  timeout --kill-after=10 $((seconds + 120)) "$binary" "${options[@]}" "$work" > "$log" 2>&1 || status=$?
  tail -n 12 "$log"

  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)"
  coverage="$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1 || true)"
  entries="$(find "$work" -type f | wc -l)"
  verdict=ok
  if [[ $status -ne 0 ]] ||
     grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error:|SUMMARY: |deadly signal|invariant broken' "$log"; then
    verdict="FAILED (exit $status)"
    failed=1
    echo "-- $target failed; its log:" >&2
    grep -E 'ERROR|runtime error|invariant broken|SUMMARY|Test unit written|#[0-9]+ in ' "$log" | head -n 40 >&2 || true
  fi
  summaries+=("$target: ${runs:-?} executions (${rate:-?}/s), ${coverage:-no coverage figures}, corpus $seeds -> $entries: $verdict")
done

echo "== summary (${seconds} s each)"
printf '%s\n' "${summaries[@]}"
exit "$failed"

#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset) and runs them one after another, each on a
# scratch copy of its seed corpus. Fails on any crash, leak, timeout or sanitizer report;
# inputs that failed are kept under build/fuzz/artifacts/.
#
#   scripts/fuzz.sh [SECONDS]   open-ended search, SECONDS per target (default 30)
#   scripts/fuzz.sh --ci        the same answer for the same commit: every seed replayed,
#                               then a fixed number of runs from a fixed random seed
set -euo pipefail
cd "$(dirname "$0")/.."

# Run counts for the deterministic mode, about a minute for all three on a 2-core machine:
# an exchange input runs several exchanges on the fake machine, a reply input is one decode.
CI_SEED=20261208
declare -A CI_RUNS=([fuzz_command_line]=100000 [fuzz_ntp_reply]=1000000 [fuzz_exchange]=20000 [fuzz_nts]=100000)
# The command line's interesting lengths are short ones and those at its 32,767 limit, which
# that target reaches by padding; longer inputs would only slow every run.
declare -A MAX_LEN=([fuzz_command_line]=256)

mode=open
seconds=30
case "${1:-}" in
  --ci) mode=ci ;;
  "") ;;
  *)
    seconds="$1"
    if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
      echo "usage: $0 [SECONDS | --ci]" >&2
      exit 2
    fi
    ;;
esac

cmake --preset fuzz -DPELLDOR_WERROR="${PELLDOR_WERROR:-OFF}" > /dev/null
cmake --build --preset fuzz

bin_dir=build/fuzz/fuzz
artifacts=build/fuzz/artifacts
mkdir -p "$artifacts"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

export ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

broken() {
  grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error:|SUMMARY: |deadly signal|invariant broken' "$1"
}

fixed_addresses=()
if [[ $mode == ci ]]; then
  if setarch "$(uname -m)" -R true 2> /dev/null; then
    fixed_addresses=(setarch "$(uname -m)" -R)
  else
    echo "warning: cannot turn address randomisation off; the runs may differ from one time to the next" >&2
  fi
fi

failed=0
summaries=()
started=$SECONDS
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
  options=(-print_final_stats=1 -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$artifacts/$target-")
  [[ -f "fuzz/$target.dict" ]] && options+=(-dict="fuzz/$target.dict")
  [[ -n "${MAX_LEN[$target]:-}" ]] && options+=(-max_len="${MAX_LEN[$target]}")
  log="$scratch/$target.log"
  status=0
  verdict=ok

  if [[ $mode == ci ]]; then
    # Every seed once as it is, so a seed that fails fails here by name.
    echo "== $target: $seeds seeds replayed, then ${CI_RUNS[$target]} runs from seed $CI_SEED"
    mapfile -t files < <(find "$corpus" -type f | sort)
    timeout --kill-after=10 300 "$binary" "${options[@]}" "${files[@]}" > "$log.replay" 2>&1 || status=$?
    if [[ $status -ne 0 ]] || broken "$log.replay"; then
      verdict="FAILED on a seed (exit $status)"
      cat "$log.replay" > "$log"
    else
      # Fixed addresses and no re-reading of the corpus folder on a timer: otherwise the
      # compared values and the corpus that guide the mutations differ from run to run.
      options+=(-seed="$CI_SEED" -runs="${CI_RUNS[$target]}" -reload=0)
      timeout --kill-after=10 900 "${fixed_addresses[@]}" "$binary" "${options[@]}" "$work" > "$log" 2>&1 || status=$?
    fi
  else
    echo "== $target: ${seconds} s from $seeds seeds"
    options+=(-max_total_time="$seconds")
    # The outer limit only guards against a fuzzer that ignores its own.
    timeout --kill-after=10 $((seconds + 120)) "$binary" "${options[@]}" "$work" > "$log" 2>&1 || status=$?
  fi
  tail -n 12 "$log"

  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)"
  coverage="$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1 || true)"
  entries="$(find "$work" -type f | wc -l)"
  if [[ $verdict == ok ]] && { [[ $status -ne 0 ]] || broken "$log"; }; then
    verdict="FAILED (exit $status)"
  fi
  if [[ $verdict != ok ]]; then
    failed=1
    echo "-- $target failed; its log:" >&2
    grep -E 'ERROR|runtime error|invariant broken|SUMMARY|Test unit written|Running: |#[0-9]+ in ' "$log" | head -n 40 >&2 || true
  fi
  summaries+=("$target: ${runs:-?} executions (${rate:-?}/s), ${coverage:-no coverage figures}, corpus $seeds -> $entries: $verdict")
done

if [[ $mode == ci ]]; then
  echo "== summary (seed $CI_SEED, fixed run counts, $((SECONDS - started)) s)"
else
  echo "== summary (${seconds} s each)"
fi
printf '%s\n' "${summaries[@]}"
exit "$failed"

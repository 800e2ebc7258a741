#!/usr/bin/env bash
# Compares the links of pelldor against one chronyd on loopback: the release preset (a
# static PIE), the package preset (glibc shared, libstdc++ and libgcc linked in) and a
# plain dynamic link for reference.
#
#   bench/variants.sh [RUNS]     RUNS rounds, default 30, at least 10, at most 1000
#
# Each variant is built into build/bench-var-NAME; every round runs
# `pelldor 2 0 127.0.0.1:P` once per variant (order rotated per round) and two reference
# programs that show the floor of a process start on this machine: /bin/true (dynamic C)
# and a static C program that only returns 0. One more row runs the static PIE with its
# timer slack set to 1 ns before exec (it is inherited), to show what the default 50 us
# slack of each 10 ms sleep costs in wall time. Each variant is also checked once with a
# host name (`localhost`), since a static glibc resolves names differently.
#
# After the timed rounds, 10 more rounds run traced to the exit (measure -m) for the
# exact peak RSS (VmHWM), which ru_maxrss can understate on this kernel.
#
# Exit status: 0 when every pelldor run exited 100, 1 otherwise, 2 on a set-up error.
set -euo pipefail

RUNS=${1:-30}
if ! [[ "$RUNS" =~ ^[0-9]+$ ]] || ((RUNS < 10 || RUNS > 1000)); then
    echo "usage: bench/variants.sh [RUNS]   (10 to 1000, default 30)" >&2
    exit 2
fi

# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"
trap bench_cleanup EXIT
trap 'exit 2' INT TERM

# name | preset | extra CMake arguments
VARIANTS=(
    "static-pie|release|"
    "package|package|"
    "dynamic|release|-DPELLDOR_STATIC=OFF"
)

NAMES=()
BINS=()
for v in "${VARIANTS[@]}"; do
    IFS='|' read -r name preset cmake_args <<<"$v"
    BUILD_DIR=$ROOT_DIR/build/bench-var-$name
    PELLDOR_BENCH_PRESET=$preset PELLDOR_BENCH_CMAKE_ARGS=$cmake_args build_pelldor || exit 2
    NAMES+=("$name")
    BINS+=("$PELLDOR_BIN")
done
build_measure || exit 2

PORT=$(free_udp_port)
start_chronyd "$PORT" || exit 2
echo "chronyd (pid $CHRONYD_PID) answers on 127.0.0.1:$PORT"
machine_line
load_line

echo
echo "| variant | preset | extra CMake arguments | linked | file bytes | text+data+bss bytes | localhost:P exits |"
echo "|---|---|---|---|---|---|---|"
failures=0
for ((i = 0; i < ${#NAMES[@]}; i++)); do
    IFS='|' read -r _ preset cmake_args <<<"${VARIANTS[i]}"
    total=$(size "${BINS[i]}" | awk 'NR == 2 { print $4 }')
    read -r _ named _ < <("$MEASURE" -q -t 10 -- "${BINS[i]}" 2 0 "localhost:$PORT")
    [[ "$named" == 100 ]] || failures=$((failures + 1))
    linked=$(ldd "${BINS[i]}" 2>/dev/null | awk '/=>/ { print $1 }' | paste -sd' ' -)
    echo "| ${NAMES[i]} | $preset | ${cmake_args:-(none)} | ${linked:-nothing shared} | $(stat -c %s "${BINS[i]}") | $total | $named |"
done
echo

STATIC_BIN=$ROOT_DIR/build/bench-var-static-pie/pelldor
ALL_NAMES=("${NAMES[@]}" "static, timer slack 1 ns" "/bin/true" "static C no-op")
ALL_CMDS=()
ALL_OPTS=()
for b in "${BINS[@]}"; do
    ALL_CMDS+=("$b 2 0 127.0.0.1:$PORT")
    ALL_OPTS+=("-q")
done
ALL_CMDS+=("$STATIC_BIN 2 0 127.0.0.1:$PORT" "/bin/true" "$NOOP_STATIC")
ALL_OPTS+=("-q -s 1" "-q" "-q")
count=${#ALL_CMDS[@]}
for ((t = 0; t < count; t++)); do
    : >"$WORK_DIR/v$t.runs"
    # shellcheck disable=SC2086  # the command strings are split on purpose
    "$MEASURE" ${ALL_OPTS[t]} -t 30 -- ${ALL_CMDS[t]} >/dev/null || true  # warm-up, not recorded
done
MEM_RUNS=10
for ((round = 0; round < RUNS + MEM_RUNS; round++)); do
    traced=
    ((round >= RUNS)) && traced=-m
    for ((k = 0; k < count; k++)); do
        t=$(((round + k) % count))
        # shellcheck disable=SC2086
        line=$("$MEASURE" ${ALL_OPTS[t]} $traced -t 30 -- ${ALL_CMDS[t]}) || true
        read -r _ status _ <<<"$line"
        if ((t <= ${#NAMES[@]})) && [[ "${status:-}" != 100 ]]; then
            echo "FAILED: round $((round + 1)) ${ALL_NAMES[t]} exited ${status:-?}, expected 100" >&2
            failures=$((failures + 1))
        fi
        echo "$line" >>"$WORK_DIR/v$t.runs"
    done
done
load_line
echo
args=()
for ((t = 0; t < count; t++)); do args+=("${ALL_NAMES[t]}=$WORK_DIR/v$t.runs"); done
python3 "$BENCH_DIR/summarize.py" variants "${args[@]}"

if ((failures > 0)); then
    echo "$failures run(s) FAILED" >&2
    exit 1
fi

#!/usr/bin/env bash
# Times pelldor side by side with open SNTP clients against chronyd on loopback.
#
#   bench/peers.sh [--nts] [RUNS]   RUNS rounds, default 30, at least 30, at most 1000
#
# Each round runs, in an order rotated from round to round:
#   pelldor 2 0 127.0.0.1:P                       (must exit 100)
#   pelldor check -H 127.0.0.1 -p P               (must exit 0)
#   check_ntp_time -H 127.0.0.1 -p P              (must exit 0)
#   ntpdig 127.0.0.1                              (must exit 0; only when UDP port 123
#                                                  on 127.0.0.1 is free for a chronyd)
#   a static C no-op and /bin/true                (the floor: process start and reap)
# With --nts the chronyd serves NTS too, with a self-signed certificate, and the rounds add
#   pelldor check --nts ... --ca-file CERT        (must exit 0)
#   chronyd -Q with and without NTS, one sample   (must exit 0)
# and records, per run, wall time (CLOCK_MONOTONIC, microseconds, fork to reap), CPU
# time (ru_utime + ru_stime) and ru_maxrss through bench/measure.c. One untimed warm-up
# run per tool comes first. Then 10 more rounds run each tool traced to its exit
# (measure -m), for the exact peak RSS (VmHWM); these are left out of the time figures.
#
# Exit status: 0 when every run exited as expected (a missed target is printed as
# MISSED and does not change it), 1 when a run failed, 2 on a usage or set-up error.
set -euo pipefail

NTS=0
if [[ "${1:-}" == "--nts" ]]; then
    NTS=1
    shift
fi
RUNS=${1:-30}
if ! [[ "$RUNS" =~ ^[0-9]+$ ]] || ((RUNS < 30 || RUNS > 1000)); then
    echo "usage: bench/peers.sh [--nts] [RUNS]   (30 to 1000, default 30)" >&2
    exit 2
fi

# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"
trap bench_cleanup EXIT
trap 'exit 2' INT TERM

CHECK_NTP_TIME=/usr/lib/nagios/plugins/check_ntp_time
NTPDIG=/usr/bin/ntpdig

build_pelldor || exit 2
build_measure || exit 2

PORT=$(free_udp_port)
nts_directives=()
if ((NTS)); then
    CERT=$WORK_DIR/cert.pem KE_PORT=$(free_udp_port)
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 -subj /CN=127.0.0.1 \
        -addext subjectAltName=IP:127.0.0.1 -keyout "$WORK_DIR/key.pem" -out "$CERT" 2>/dev/null || exit 2
    nts_directives=("ntsport $KE_PORT" "ntsservercert $CERT" "ntsserverkey $WORK_DIR/key.pem" "ntsprocesses 0"
                    "ntsdumpdir $WORK_DIR")
fi
start_chronyd "$PORT" "${nts_directives[@]}" || exit 2
echo "chronyd (pid $CHRONYD_PID) answers on 127.0.0.1:$PORT"

NAMES=(pelldor pelldor_check check_ntp_time)
COMMANDS=("$PELLDOR_BIN 2 0 127.0.0.1:$PORT" "$PELLDOR_BIN check -H 127.0.0.1 -p $PORT"
          "$CHECK_NTP_TIME -H 127.0.0.1 -p $PORT")
EXPECT=(100 0 0)

if ((NTS)); then
    # chronyd -Q takes its directives as arguments, one each: the measure helper would split
    # them. As root, so that it still reads the certificate in our private folder.
    printf '#!/bin/sh\nexec /usr/sbin/chronyd -Q -u root -t 10 "server 127.0.0.1 port %s iburst maxsamples 1%s" "ntstrustedcerts %s"\n' \
        "$PORT" "" "$CERT" >"$WORK_DIR/chronyd-q"
    printf '#!/bin/sh\nexec /usr/sbin/chronyd -Q -u root -t 10 "server 127.0.0.1 port %s iburst maxsamples 1%s" "ntstrustedcerts %s"\n' \
        "$PORT" " nts ntsport $KE_PORT" "$CERT" >"$WORK_DIR/chronyd-q-nts"
    chmod +x "$WORK_DIR/chronyd-q" "$WORK_DIR/chronyd-q-nts"
    NAMES+=(pelldor_check_nts chronyd_q chronyd_q_nts)
    COMMANDS+=("$PELLDOR_BIN check --nts -H 127.0.0.1 -p $PORT --nts-port $KE_PORT --ca-file $CERT"
               "$WORK_DIR/chronyd-q" "$WORK_DIR/chronyd-q-nts")
    EXPECT+=(0 0 0)
fi

# ntpdig has no port option: it needs a server on 127.0.0.1:123.
if [[ ! -x "$NTPDIG" ]]; then
    echo "ntpdig skipped: $NTPDIG is not installed"
elif ! why=$(udp_port_free 123 2>&1); then
    echo "ntpdig skipped: UDP port 123 on 127.0.0.1 is taken ($why), and ntpdig has no port option"
elif ! start_chronyd 123; then
    echo "ntpdig skipped: a chronyd on 127.0.0.1:123 did not start or answer"
else
    echo "second chronyd (pid $CHRONYD_PID) answers on 127.0.0.1:123 for ntpdig"
    NAMES+=(ntpdig)
    COMMANDS+=("$NTPDIG 127.0.0.1")
    EXPECT+=(0)
fi

machine_line
echo "pelldor binary: $PELLDOR_BIN ($(stat -c %s "$PELLDOR_BIN") bytes; $(
    if file -b "$PELLDOR_BIN" | grep -q "static"; then echo static; else echo dynamic; fi))"
load_line

# The floor of the measurement itself, timed in the same rounds as the tools: what a
# program that does nothing costs through the helper, static and dynamically linked.
NAMES+=(floor_static floor_dynamic)
COMMANDS+=("$NOOP_STATIC" /bin/true)
EXPECT+=(0 0)

failures=0
count=${#NAMES[@]}
for ((t = 0; t < count; t++)); do
    : >"$WORK_DIR/${NAMES[t]}.runs"
    # shellcheck disable=SC2086  # the command strings are split on purpose
    "$MEASURE" -q -t 30 -- ${COMMANDS[t]} >/dev/null || true
done

MEM_RUNS=10
for ((round = 0; round < RUNS + MEM_RUNS; round++)); do
    opts=(-q -t 30)
    ((round >= RUNS)) && opts+=(-m)
    for ((k = 0; k < count; k++)); do
        t=$(((round + k) % count))
        # shellcheck disable=SC2086
        line=$("$MEASURE" "${opts[@]}" -- ${COMMANDS[t]}) || true
        read -r _ status _ <<<"$line"
        if [[ "${status:-}" != "${EXPECT[t]}" ]]; then
            echo "FAILED: round $((round + 1)) ${NAMES[t]} exited ${status:-?}, expected ${EXPECT[t]}" >&2
            failures=$((failures + 1))
        fi
        echo "$line" >>"$WORK_DIR/${NAMES[t]}.runs"
    done
done
load_line

echo
args=()
for ((t = 0; t < count; t++)); do args+=("${NAMES[t]}=$WORK_DIR/${NAMES[t]}.runs"); done
python3 "$BENCH_DIR/summarize.py" peers "${args[@]}"

if ((failures > 0)); then
    echo "$failures run(s) FAILED" >&2
    exit 1
fi

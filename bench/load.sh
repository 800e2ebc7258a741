#!/usr/bin/env bash
# Many probes started at once, all on loopback.
#
#   bench/load.sh [--verdicts-only] [COUNT]
#                              COUNT probes per case, default 200, 1 to 1000
#
#   1. COUNT x `pelldor 2 0 127.0.0.1:P` against one chronyd without rate limiting:
#      every probe must exit 100, each within (0+1)*(2+1.1)+0.5 = 3.6 s.
#   2. COUNT x `pelldor 1 0 127.0.0.1:S` against a UDP socket that is bound but never
#      read (no reply, and no ICMP port unreachable either): every probe must exit 0,
#      each within (0+1)*(1+1.1)+0.5 = 2.6 s.
#   With --verdicts-only (the test script's way, on a machine shared with builds) the
#   times are still reported against their bounds but only the exit statuses decide.
#   3. Control for case 1 (reported, never a failure): the same burst against a chronyd
#      WITH `ratelimit`, to show that the burst is large enough to be limited, so the
#      all-100 result of case 1 really shows that chronyd does not limit by default.
#
# All probes of a case are forked back to back by bench/measure (-p), which reaps each
# with wait4() and reports its exit status and elapsed time from its own fork.
# Exit status: 0 when cases 1 and 2 pass, 1 when not, 2 on a set-up error.
set -euo pipefail

JUDGE=times
if [[ "${1:-}" == --verdicts-only ]]; then
    JUDGE=verdicts
    shift
fi
COUNT=${1:-200}
if ! [[ "$COUNT" =~ ^[0-9]+$ ]] || ((COUNT < 1 || COUNT > 1000)); then
    echo "usage: bench/load.sh [--verdicts-only] [COUNT]   (1 to 1000, default 200)" >&2
    exit 2
fi

# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"
trap bench_cleanup EXIT
trap 'exit 2' INT TERM

build_pelldor || exit 2
build_measure || exit 2

PORT=$(free_udp_port)
start_chronyd "$PORT" || exit 2
if grep -qi ratelimit "$WORK_DIR/chronyd-$PORT.conf"; then
    echo "unexpected ratelimit directive in the chronyd configuration" >&2
    exit 2
fi
echo "chronyd (pid $CHRONYD_PID) answers on 127.0.0.1:$PORT; its configuration has no ratelimit directive"

# A socket that is bound and then never read, for at most 120 s.
python3 - "$WORK_DIR/silent.port" <<'EOF' &
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
with open(sys.argv[1] + ".tmp", "w") as f:
    f.write(str(s.getsockname()[1]))
import os
os.rename(sys.argv[1] + ".tmp", sys.argv[1])
time.sleep(120)
EOF
BG_PIDS+=($!)
for ((n = 0; n < 50; n++)); do
    [[ -s "$WORK_DIR/silent.port" ]] && break
    sleep 0.1
done
[[ -s "$WORK_DIR/silent.port" ]] || { echo "the silent socket did not start" >&2; exit 2; }
SILENT=$(cat "$WORK_DIR/silent.port")
echo "silent UDP socket (pid ${BG_PIDS[-1]}) bound on 127.0.0.1:$SILENT, never read"

machine_line
echo "pelldor binary: $PELLDOR_BIN ($(
    if file -b "$PELLDOR_BIN" | grep -q "static"; then echo static; else echo dynamic; fi))"

# A single probe first, so that a broken set-up is not mistaken for a load effect.
read -r _ single _ < <("$MEASURE" -q -t 10 -- "$PELLDOR_BIN" 2 0 "127.0.0.1:$PORT")
[[ "$single" == 100 ]] || { echo "a single probe against chronyd exited $single, not 100" >&2; exit 2; }

load_line
"$MEASURE" -q -t 60 -p "$COUNT" -- "$PELLDOR_BIN" 2 0 "127.0.0.1:$PORT" >"$WORK_DIR/chronyd.runs" || true
"$MEASURE" -q -t 60 -p "$COUNT" -- "$PELLDOR_BIN" 1 0 "127.0.0.1:$SILENT" >"$WORK_DIR/silent.runs" || true

# Control: a second chronyd with rate limiting on.
CONTROL_PORT=$(free_udp_port)
control=yes
start_chronyd "$CONTROL_PORT" "ratelimit interval 1 burst 8" || control=no
if [[ $control == yes ]]; then
    "$MEASURE" -q -t 60 -p "$COUNT" -- "$PELLDOR_BIN" 2 0 "127.0.0.1:$CONTROL_PORT" \
        >"$WORK_DIR/control.runs" || true
fi

load_line
echo
echo "| case | probes | exit status | within bound | median elapsed ms | max elapsed ms | median CPU ms | max ru_maxrss KiB |"
echo "|---|---|---|---|---|---|---|---|"
result=0
python3 "$BENCH_DIR/summarize.py" load "chronyd, no rate limiting: pelldor 2 0" \
    "$WORK_DIR/chronyd.runs" 3600 100 "$JUDGE" || result=1
python3 "$BENCH_DIR/summarize.py" load "silent socket: pelldor 1 0" \
    "$WORK_DIR/silent.runs" 2600 0 "$JUDGE" || result=1
if [[ $control == yes ]]; then
    python3 "$BENCH_DIR/summarize.py" load "control, chronyd with ratelimit interval 1 burst 8: pelldor 2 0" \
        "$WORK_DIR/control.runs" 3600 100 "$JUDGE" || true
else
    echo "| control with ratelimit | skipped: the chronyd did not start | | | | | | |"
fi
echo
if ((result == 0)) && [[ $JUDGE == verdicts ]]; then
    echo "LOAD: both cases passed (all $COUNT exited as expected; times reported, not judged)"
elif ((result == 0)); then
    echo "LOAD: both cases passed (all $COUNT exited as expected within the bound)"
elif [[ $JUDGE == verdicts ]]; then
    echo "LOAD: FAILED (a probe exited otherwise)"
else
    echo "LOAD: FAILED (a probe exited otherwise or took longer than the bound)"
fi
exit $result

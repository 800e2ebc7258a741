# shellcheck shell=bash
# Shared helpers for peers.sh, variants.sh and load.sh; sourced, not run.
#
# Environment:
#   PELLDOR_BENCH_BUILD       build directory (default build/bench-release)
#   PELLDOR_BENCH_PRESET      the configure preset (default release; package for the
#                             Debian package's link)
#   PELLDOR_BENCH_CMAKE_ARGS  further CMake arguments, e.g. -DPELLDOR_STATIC=OFF
#   PELLDOR_BENCH_LDFLAGS     linker flags for the executable, to try a link variant,
#                             e.g. "-static" or "-static-libstdc++ -static-libgcc"
#                             (default: none beyond what the release preset sets)
#   PELLDOR_BENCH_CXXFLAGS    extra compiler flags, e.g. "-ffunction-sections -fdata-sections"
#
# Everything runs on loopback only. Every background process is recorded in BG_PIDS and
# ended by bench_cleanup, which the scripts install as their EXIT trap.

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT_DIR=$(dirname "$BENCH_DIR")
BUILD_DIR=${PELLDOR_BENCH_BUILD:-$ROOT_DIR/build/bench-release}
BG_PIDS=()
WORK_DIR=$(mktemp -d /tmp/pelldor-bench.XXXXXX)

bench_cleanup() {
    local pid n
    for pid in "${BG_PIDS[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${BG_PIDS[@]}"; do
        # Up to 3 s for a clean end, then SIGKILL.
        for ((n = 0; n < 30; n++)); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    BG_PIDS=()
    rm -rf "$WORK_DIR"
}

note() { printf '%s\n' "$*" >&2; }

machine_line() {
    local model
    model=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
    printf 'machine: nproc %s, CPU %s, kernel %s, %s\n' "$(nproc)" "$model" "$(uname -r)" \
        "$(date -u '+%Y-%m-%d %H:%M:%S UTC')"
}

load_line() { printf 'load average (1/5/15 min): %s\n' "$(cut -d' ' -f1-3 /proc/loadavg)"; }

# Configures (a preset, the release one unless PELLDOR_BENCH_PRESET says otherwise, in a
# build directory of our own, tests off, plus PELLDOR_BENCH_CMAKE_ARGS) and builds
# pelldor; sets PELLDOR_BIN.
build_pelldor() {
    local preset=${PELLDOR_BENCH_PRESET:-release}
    note "building pelldor ($preset preset) in $BUILD_DIR, CMake arguments '${PELLDOR_BENCH_CMAKE_ARGS:-}'," \
        "linker flags '${PELLDOR_BENCH_LDFLAGS:-}', compiler flags '${PELLDOR_BENCH_CXXFLAGS:-}'"
    # shellcheck disable=SC2086  # the extra arguments are split on purpose
    (cd "$ROOT_DIR" && cmake --preset "$preset" -B "$BUILD_DIR" -DPELLDOR_TESTS=OFF ${PELLDOR_BENCH_CMAKE_ARGS:-} \
        "-DCMAKE_EXE_LINKER_FLAGS=${PELLDOR_BENCH_LDFLAGS:-}" \
        "-DCMAKE_CXX_FLAGS=${PELLDOR_BENCH_CXXFLAGS:-}") >"$WORK_DIR/configure.log" 2>&1 ||
        { cat "$WORK_DIR/configure.log" >&2; return 1; }
    cmake --build "$BUILD_DIR" --target pelldor pelldor-nts -j 2 >"$WORK_DIR/build.log" 2>&1 ||
        { cat "$WORK_DIR/build.log" >&2; return 1; }
    PELLDOR_BIN=$BUILD_DIR/pelldor
    [[ -x "$PELLDOR_BIN" ]]
}

# Builds the measuring helper (static when the C library allows); sets MEASURE. Also
# builds NOOP_STATIC, a static C program that only returns 0: the floor of a process
# start on this machine.
build_measure() {
    MEASURE=$WORK_DIR/measure
    cc -O2 -static -o "$MEASURE" "$BENCH_DIR/measure.c" 2>/dev/null ||
        cc -O2 -o "$MEASURE" "$BENCH_DIR/measure.c" || return 1
    NOOP_STATIC=$WORK_DIR/noop-static
    printf 'int main(void) { return 0; }\n' >"$WORK_DIR/noop.c"
    cc -O2 -static -o "$NOOP_STATIC" "$WORK_DIR/noop.c" 2>/dev/null ||
        cc -O2 -o "$NOOP_STATIC" "$WORK_DIR/noop.c"
}

# Prints a UDP port on 127.0.0.1 that is free right now.
free_udp_port() {
    python3 - <<'EOF'
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])
s.close()
EOF
}

# True when UDP port $1 on 127.0.0.1 can be bound now (nothing holds it).
udp_port_free() {
    python3 - "$1" <<'EOF'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
try:
    s.bind(("127.0.0.1", int(sys.argv[1])))
except OSError as e:
    print(e, file=sys.stderr)
    sys.exit(1)
s.close()
EOF
}

# start_chronyd PORT [DIRECTIVE]...: a chronyd serving local time (stratum 8) on
# 127.0.0.1:PORT, no clock control, no command port, no rate limiting (there is no
# ratelimit directive unless one is given as an extra DIRECTIVE line).
# Waits until it answers (check_ntp_time, at most about 10 s). Sets CHRONYD_PID.
start_chronyd() {
    local port=$1 conf=$WORK_DIR/chronyd-$1.conf n
    shift
    cat >"$conf" <<EOF
port $port
bindaddress 127.0.0.1
allow 127.0.0.1
local stratum 8
cmdport 0
pidfile $WORK_DIR/chronyd-$port.pid
EOF
    for n in "$@"; do printf '%s\n' "$n" >>"$conf"; done
    /usr/sbin/chronyd -x -d -u root -f "$conf" >"$WORK_DIR/chronyd-$port.log" 2>&1 &
    CHRONYD_PID=$!
    BG_PIDS+=("$CHRONYD_PID")
    for ((n = 0; n < 40; n++)); do
        if ! kill -0 "$CHRONYD_PID" 2>/dev/null; then
            note "chronyd on port $port ended:"; cat "$WORK_DIR/chronyd-$port.log" >&2
            return 1
        fi
        if /usr/lib/nagios/plugins/check_ntp_time -H 127.0.0.1 -p "$port" -t 1 >/dev/null 2>&1; then
            return 0
        fi
        sleep 0.25
    done
    note "chronyd on port $port did not answer in time:"; cat "$WORK_DIR/chronyd-$port.log" >&2
    return 1
}

#!/usr/bin/env bash
# pelldor.exe under Wine: one verdict against chronyd on loopback (logging off) beside the
# floor program (bench/floor.cpp), and what Pause(1000) really takes.
#
#   bench/windows.sh [RUNS]     RUNS rounds, default 15, 5 to 200
#
# Every round runs the floor and `pelldor.exe 2 0 127.0.0.1:P` once each, in turn, under
# wine64 with a persistent wineserver of a prefix of its own (scripts/wine.sh start, which
# also keeps Wine's services up); medians are compared. The
# target: pelldor's median at most 5 ms above the floor's.
# Exit status: 0 when every run exited 100, 1 otherwise, 2 on a set-up error.
set -euo pipefail

RUNS=${1:-15}
if ! [[ "$RUNS" =~ ^[0-9]+$ ]] || ((RUNS < 5 || RUNS > 200)); then
    echo "usage: bench/windows.sh [RUNS]   (5 to 200, default 15)" >&2
    exit 2
fi

# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"
export WINEPREFIX=$WORK_DIR/wine
cleanup() {
    "$ROOT_DIR/scripts/wine.sh" stop
    bench_cleanup
}
trap cleanup EXIT
trap 'exit 2' INT TERM

CXX=x86_64-w64-mingw32-g++-posix
(cd "$ROOT_DIR" && cmake --preset windows >"$WORK_DIR/configure.log" 2>&1 &&
    cmake --build --preset windows --target pelldor pelldor_foundation pelldor_native >"$WORK_DIR/build.log" 2>&1) ||
    { cat "$WORK_DIR/configure.log" "$WORK_DIR/build.log" >&2; exit 2; }
WIN_BUILD=$ROOT_DIR/build/windows
cp "$WIN_BUILD/pelldor.exe" "$WORK_DIR/pelldor.exe"
$CXX -std=c++20 -O2 -mwindows -static -o "$WORK_DIR/floor.exe" "$BENCH_DIR/floor.cpp" -lws2_32 -lbcrypt ||
    exit 2
$CXX -std=c++20 -O2 -static -I"$ROOT_DIR/src" -o "$WORK_DIR/pause.exe" "$BENCH_DIR/pause.cpp" \
    "$WIN_BUILD/libpelldor_foundation.a" "$WIN_BUILD/libpelldor_native.a" \
    "$WIN_BUILD/libpelldor_platform.a" -lws2_32 -lbcrypt -luser32 || exit 2
build_measure || exit 2

imports() { x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p' | sort -f | tr '\n' ' '; }
echo "pelldor.exe imports: $(imports "$WORK_DIR/pelldor.exe")"
echo "floor.exe imports:   $(imports "$WORK_DIR/floor.exe")"

"$ROOT_DIR/scripts/wine.sh" start
WINE=(/usr/lib/wine/wine64)
PORT=$(free_udp_port)
start_chronyd "$PORT" || exit 2
machine_line
echo "$(/usr/lib/wine/wine64 --version), persistent wineserver, prefix $WINEPREFIX"

# Untimed warm-up of each.
"$MEASURE" -q -t 20 -- "${WINE[@]}" "$WORK_DIR/floor.exe" >/dev/null
"$MEASURE" -q -t 20 -- "${WINE[@]}" "$WORK_DIR/pelldor.exe" 2 0 "127.0.0.1:$PORT" >/dev/null

load_line
for ((round = 0; round < RUNS; round++)); do
    "$MEASURE" -q -t 20 -- "${WINE[@]}" "$WORK_DIR/floor.exe" >>"$WORK_DIR/floor.runs"
    "$MEASURE" -q -t 20 -- "${WINE[@]}" "$WORK_DIR/pelldor.exe" 2 0 "127.0.0.1:$PORT" >>"$WORK_DIR/pelldor.runs"
done
load_line

echo
echo "| program | runs | median wall ms | min-max | exit statuses |"
echo "|---|---|---|---|---|"
result=0
python3 - "$WORK_DIR/floor.runs" "$WORK_DIR/pelldor.runs" <<'PY' || result=1
import statistics, sys
rows = {}
ok = True
for name, path in (("floor program", sys.argv[1]), ("pelldor.exe 2 0 127.0.0.1:P", sys.argv[2])):
    runs = [line.split() for line in open(path) if line.strip()]
    ok &= all(r[1] == "100" for r in runs)
    walls = [int(r[2]) / 1000 for r in runs]
    rows[name] = statistics.median(walls)
    print(f"| {name} | {len(walls)} | {rows[name]:.1f} | {min(walls):.1f}-{max(walls):.1f} | "
          f"{sorted(set(r[1] for r in runs))} |")
floor, pelldor = rows.values()
print(f"pelldor.exe minus floor: {pelldor - floor:+.1f} ms (target at most +5 ms): "
      f"{'met' if pelldor - floor <= 5 else 'MISSED'}")
sys.exit(0 if ok else 1)
PY
echo

echo "Pause(1000) on the Windows platform under Wine, ms each:"
"${WINE[@]}" "$WORK_DIR/pause.exe" 5 | tr -d '\r' | tr '\n' ' '
echo
exit $result

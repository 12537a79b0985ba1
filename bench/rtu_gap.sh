#!/usr/bin/env bash
# What the frame gap after each answer costs one serial line: qm_rtu_gap's
# rounds with and without it over a pseudo-terminal pair (socat), qmsim on
# the far end. A pseudo-terminal carries no line speed: the figures are the
# host's waits, without the wire's own time.
#   bench/rtu_gap.sh [BAUD] [CYCLES] [ROUNDS]   (build/ must hold qmsim and bench/qm_rtu_gap)
set -euo pipefail
cd "$(dirname "$0")/.."
build=build
script=bench/rtu_gap.sh
baud=${1:-9600}
cycles=${2:-20}
rounds=${3:-3}
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
command -v socat >/dev/null || { echo "$script: socat is not installed" >&2; exit 1; }

socat -d -d "pty,raw,echo=0,link=$work/unit" "pty,raw,echo=0,link=$work/host" 2>"$work/socat.log" &
pids+=($!)
for _ in $(seq 100); do [ -e "$work/host" ] && break; sleep 0.05; done
"$build/qmsim" --rtu "$work/unit" --baud "$baud" >"$work/qmsim.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/qmsim.log" ] && break; sleep 0.05; done
grep -q "serving" "$work/qmsim.log" || { echo "$script: qmsim did not start:" >&2; cat "$work/qmsim.log" >&2; exit 1; }

timeout 600 "$build/bench/qm_rtu_gap" --rtu "$work/host" --baud "$baud" --cycles "$cycles" --rounds "$rounds"

#!/usr/bin/env bash
# What a silent unit costs the others on one RTU line: CYCLES polling cycles
# of units 1 and 2, then of units 1, 2 and a silent 3, over a pseudo-terminal
# pair (socat) with qmsim serving the three slave ids.
#   bench/bus.sh [CYCLES] [TIMEOUT_MS]   (build/ must hold qmhost and qmsim)
set -euo pipefail
cd "$(dirname "$0")/.."
build=build
script=bench/bus.sh
cycles=${1:-10}
timeout_ms=${2:-500}
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
"$build/qmsim" --rtu "$work/unit" --slave 1,2,3 --silent-slave 3 >"$work/qmsim.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/qmsim.log" ] && break; sleep 0.05; done
grep -q "serving" "$work/qmsim.log" || { echo "$script: qmsim did not start:" >&2; cat "$work/qmsim.log" >&2; exit 1; }

for slaves in 1,2 1,2,3; do
    start=$(date +%s.%N)
    "$build/qmhost" poll --rtu "$work/host" --slave "$slaves" --timeout-ms "$timeout_ms" --cycles "$cycles" \
        --interval 0 --report "$work/report" 2>/dev/null || true
    end=$(date +%s.%N)
    published=$(wc -l <"$work/report")
    echo "slaves $slaves: $cycles cycles in $(echo "$end - $start" | bc) s, $published reports published"
done

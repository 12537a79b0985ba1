#!/usr/bin/env bash
# Peak memory of `qmhost poll` with 1 and with 32 drivers, each driver on
# its own simulated unit (32 qmsim processes on consecutive loopback ports,
# as --devices N expects): the maximum resident set size from
# /usr/bin/time -v, and, when heaptrack is installed, the peak heap.
#
#   bench/peak_memory.sh [CYCLES]        (default 5 cycles)
#   BUILD=build-bench  BASE_PORT=15600
set -euo pipefail
cd "$(dirname "$0")/.."

cycles=${1:-5}
build=${BUILD:-build-bench}
base=${BASE_PORT:-15600}
units=32
[ -x /usr/bin/time ] || { echo "peak_memory.sh: /usr/bin/time is missing (Debian package time; scripts/install-deps.sh bench)" >&2; exit 1; }
for program in "$build/qmsim" "$build/qmhost"; do
    [ -x "$program" ] || { echo "peak_memory.sh: $program is missing; build $build first" >&2; exit 1; }
done

work=$(mktemp -d)
sims=()
cleanup() {
    for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${sims[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

for i in $(seq 0 $((units - 1))); do
    "$build/qmsim" --tcp "127.0.0.1:$((base + i))" --port-file "$work/port.$i" >"$work/qmsim.$i.log" 2>&1 &
    sims+=($!)
done
for i in $(seq 0 $((units - 1))); do
    for _ in $(seq 100); do [ -s "$work/port.$i" ] && break; sleep 0.05; done
    [ -s "$work/port.$i" ] || { echo "peak_memory.sh: qmsim on port $((base + i)) did not start:" >&2; cat "$work/qmsim.$i.log" >&2; exit 1; }
done

echo "peak_memory.sh: $units qmsim units on 127.0.0.1:$base..$((base + units - 1)), $cycles cycles"
for devices in 1 $units; do
    poll=("$build/qmhost" poll --tcp "127.0.0.1:$base" --devices "$devices" --cycles "$cycles" --interval 0)
    /usr/bin/time -v -o "$work/time.$devices" "${poll[@]}" >/dev/null
    rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time.$devices")
    line="devices $devices: max RSS $rss KiB"
    if command -v heaptrack >/dev/null && command -v heaptrack_print >/dev/null; then
        heaptrack -o "$work/heap.$devices" "${poll[@]}" >/dev/null 2>&1
        peak=$(heaptrack_print "$work/heap.$devices".* 2>/dev/null | awk -F': ' '/^peak heap memory consumption/ { print $2 }')
        line="$line, peak heap $peak (heaptrack)"
    fi
    echo "$line"
done

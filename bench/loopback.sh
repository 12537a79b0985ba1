#!/usr/bin/env bash
# Loopback throughput: qmsim on a loopback TCP port, then, alternating in
# one run, the plain libmodbus loop (the chain's 45 reads, no driver, no
# host) and `qmhost poll --interval 0`, each for the same number of cycles.
# Prints cycles per second of each round and of all rounds together, and
# qmhost's share of the plain loop's rate (target: at least 0.95).
#
#   bench/loopback.sh [CYCLES [ROUNDS]]     (default 1000 cycles, 5 rounds)
#   BUILD=build-bench                        the build dir holding qmsim, qmhost, bench/
#   EXTRA_QMHOST="--report /dev/null"        options added to qmhost poll
set -euo pipefail
cd "$(dirname "$0")/.."

cycles=${1:-1000}
rounds=${2:-5}
build=${BUILD:-build-bench}
for program in "$build/qmsim" "$build/qmhost" "$build/bench/qm_plain_loop"; do
    [ -x "$program" ] || { echo "loopback.sh: $program is missing; build $build first (BENCHMARKS.md)" >&2; exit 1; }
done

script=loopback.sh
. "$(dirname "$0")/sim_unit.sh"
start_sim_unit

now_ns() { date +%s%N; }

# Runs the command and prints its wall time in nanoseconds.
timed() {
    local start end
    start=$(now_ns)
    "$@" >/dev/null || { echo "loopback.sh: failed: $*" >&2; exit 1; }
    end=$(now_ns)
    echo $((end - start))
}

rate() { awk -v c="$1" -v ns="$2" 'BEGIN { printf "%.1f", c / (ns / 1e9) }'; }

# shellcheck disable=SC2206
extra=(${EXTRA_QMHOST:-})
echo "loopback.sh: qmsim on 127.0.0.1:$port, $cycles cycles per run, $rounds rounds"
printf '%-6s %16s %16s %8s\n' round "plain cycles/s" "qmhost cycles/s" ratio
plain_total=0
host_total=0
plain_best=0
host_best=0
for round in $(seq "$rounds"); do
    plain_ns=$(timed "$build/bench/qm_plain_loop" --tcp "127.0.0.1:$port" --cycles "$cycles")
    host_ns=$(timed "$build/qmhost" poll --tcp "127.0.0.1:$port" --cycles "$cycles" --interval 0 "${extra[@]}")
    plain_total=$((plain_total + plain_ns))
    host_total=$((host_total + host_ns))
    if [ "$plain_best" -eq 0 ] || [ "$plain_ns" -lt "$plain_best" ]; then plain_best=$plain_ns; fi
    if [ "$host_best" -eq 0 ] || [ "$host_ns" -lt "$host_best" ]; then host_best=$host_ns; fi
    printf '%-6s %16s %16s %8s\n' "$round" "$(rate "$cycles" "$plain_ns")" "$(rate "$cycles" "$host_ns")" \
        "$(awk -v p="$plain_ns" -v h="$host_ns" 'BEGIN { printf "%.3f", p / h }')"
done
all=$((cycles * rounds))
printf '%-6s %16s %16s %8s\n' all "$(rate "$all" "$plain_total")" "$(rate "$all" "$host_total")" \
    "$(awk -v p="$plain_total" -v h="$host_total" 'BEGIN { printf "%.3f", p / h }')"
printf '%-6s %16s %16s %8s\n' best "$(rate "$cycles" "$plain_best")" "$(rate "$cycles" "$host_best")" \
    "$(awk -v p="$plain_best" -v h="$host_best" 'BEGIN { printf "%.3f", p / h }')"

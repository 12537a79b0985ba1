#!/usr/bin/env bash
# Where a cycle of `qmhost poll --interval 0` goes, against the plain
# libmodbus loop, on a loopback qmsim:
# - instructions per cycle (callgrind): the difference between a run of
#   2N and a run of N cycles, divided by N, so start-up is not in it, and
#   without the report's rebuilds;
# - inclusive instructions of the named functions in the 2N-cycle run,
#   divided by 2N (the report's rebuild happens once per wall-clock second,
#   not per cycle, and is in report_document);
# - system calls per cycle (strace -c over 2N cycles).
#
#   bench/qmhost_profile.sh [N]       (default 50)       BUILD=build-bench
set -euo pipefail
cd "$(dirname "$0")/.."

n=${1:-50}
build=${BUILD:-build-bench}
for program in "$build/qmsim" "$build/qmhost" "$build/bench/qm_plain_loop"; do
    [ -x "$program" ] || { echo "qmhost_profile.sh: $program is missing; build $build first" >&2; exit 1; }
done
for tool in valgrind callgrind_annotate strace; do
    command -v "$tool" >/dev/null || { echo "qmhost_profile.sh: $tool is missing (scripts/install-deps.sh bench)" >&2; exit 1; }
done

script=qmhost_profile.sh
. "$(dirname "$0")/sim_unit.sh"
start_sim_unit
link=(--tcp "127.0.0.1:$port")

host=("$build/qmhost" poll "${link[@]}" --interval 0 --cycles)
plain=("$build/bench/qm_plain_loop" "${link[@]}" --cycles)

# Total instructions of one run, its profile kept in $work: callgrind_run NAME CYCLES
callgrind_run() {
    local -n program=$1
    valgrind --tool=callgrind --callgrind-out-file="$work/$1.$2.out" "${program[@]}" "$2" >/dev/null 2>"$work/$1.$2.log" ||
        { echo "qmhost_profile.sh: $1 failed under callgrind:" >&2; cat "$work/$1.$2.log" >&2; exit 1; }
    awk '/Collected :/ { print $NF }' "$work/$1.$2.log"
}

# Inclusive instructions of the first function whose name starts with $2.
inclusive() {
    callgrind_annotate --inclusive=yes --threshold=100 "$1" 2>/dev/null |
        awk -v name="$2" '!found && index($0, ":" name) { gsub(",", "", $1); print $1; found = 1 }
            END { if (!found) print 0 }'
}

# The report is rebuilt once per wall-clock second, and a run under
# callgrind takes seconds: its rebuilds are taken out of the difference.
echo "qmhost_profile.sh: instructions per cycle (runs of $((2 * n)) and $n cycles, report rebuilds left out)"
for who in plain host; do
    short=$(callgrind_run "$who" "$n")
    long=$(callgrind_run "$who" "$((2 * n))")
    short=$((short - $(inclusive "$work/$who.$n.out" QM4700RX2VA9::rebuild_report)))
    long=$((long - $(inclusive "$work/$who.$((2 * n)).out" QM4700RX2VA9::rebuild_report)))
    printf '  %-6s %10d\n' "$who" $(((long - short) / n))
done

echo "qmhost poll, inclusive per cycle over $((2 * n)) cycles:"
callgrind_annotate --inclusive=yes --threshold=100 "$work/host.$((2 * n)).out" 2>/dev/null >"$work/annotate"
for name in ZKVVDevice::CheckThresholdBool SPModbus::perform render_summary HostedDevice::report_document \
    QM4700RX2VA9::rebuild_report; do
    awk -v name="$name" -v cycles=$((2 * n)) '!found && index($0, ":" name) {
        gsub(",", "", $1); printf "  %-32s %10d\n", name, $1 / cycles; found = 1 }' "$work/annotate"
done

echo "system calls per cycle over $((2 * n)) cycles:"
for who in plain host; do
    declare -n program=$who
    strace -c -o "$work/strace.$who" "${program[@]}" "$((2 * n))" >/dev/null
    awk -v who="$who" -v cycles=$((2 * n)) '$NF ~ /^(sendto|recvfrom|pselect6|rt_sigtimedwait|write)$/ {
        printf "  %-6s %-16s %6.1f\n", who, $NF, $4 / cycles }' "$work/strace.$who"
done

#!/usr/bin/env bash
# Instructions executed by one operation after a warm-up, counted by
# callgrind inside qm_measured_operation only. For the polling cycle it also
# splits off the stand-in host's alarm-state tracking (CheckThresholdBool)
# and the in-memory link (SPModbus::perform), which are not the driver's.
#
#   bench/callgrind.sh            BUILD=build-bench
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD:-build-bench}
program="$build/bench/qm_one_operation"
[ -x "$program" ] || { echo "callgrind.sh: $program is missing; build $build first" >&2; exit 1; }
command -v valgrind >/dev/null || { echo "callgrind.sh: valgrind is missing (scripts/install-deps.sh bench)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Inclusive instructions of the first function whose name starts with $2.
inclusive() {
    callgrind_annotate --inclusive=yes --threshold=100 "$1" 2>/dev/null |
        awk -v name="$2" '!found && index($0, ":" name) { gsub(",", "", $1); print $1; found = 1 }'
}

for op in cycle rebuild801 render801 control106; do
    valgrind --tool=callgrind --collect-atstart=no --toggle-collect=qm_measured_operation \
        --callgrind-out-file="$work/$op.out" "$program" "$op" 2>"$work/$op.log" \
        || { echo "callgrind.sh: $op failed:" >&2; cat "$work/$op.log" >&2; exit 1; }
    total=$(awk '/Collected :/ { print $NF }' "$work/$op.log")
    printf '%-11s %10s instructions\n' "$op" "$total"
done

total=$(awk '/Collected :/ { print $NF }' "$work/cycle.log")
threshold=$(inclusive "$work/cycle.out" "ZKVVDevice::CheckThresholdBool")
link=$(inclusive "$work/cycle.out" "SPModbus::perform")
echo "cycle, of which:"
printf '  %-44s %10s\n' "host: alarm-state tracking (CheckThresholdBool)" "$threshold" \
    "host: in-memory link (SPModbus::perform)" "$link" \
    "driver, core and the rest of the host" "$((total - threshold - link))"

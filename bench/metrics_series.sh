#!/usr/bin/env bash
# /metrics series and bytes per unit, with no alarm active and with one: two
# qmsim units (crac-1 with one alarm point on, crac-2 with none) on their own
# TCP lines, the agent's HTTP side as the site file's "http" member sets it.
#
#   bench/metrics_series.sh ['"metrics_alarms": "all", "metrics_values": "keys"']
#   BUILD=build    the build dir holding qmhost, qmsim and the plug-in
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD:-build}
script=metrics_series.sh
extra=${1:-}
. bench/agent_bench_lib.sh

echo '{"coils": {"37": 1}}' >"$work/alarm.json"
echo '{}' >"$work/quiet.json"
for n in 1 2; do
    state=$([ "$n" = 1 ] && echo alarm || echo quiet)
    "$build/qmsim" --tcp 127.0.0.1:0 --port-file "$work/port$n" --state "$work/$state.json" >"$work/sim$n.log" 2>&1 &
    pids+=($!)
    wait_for "[ -s $work/port$n ]" "qmsim $n"
done
http_port=$(free_port)
cat >"$work/site.json" <<JSON
{"site": "bench", "store": {"path": "store.db"}, "http": {"listen": "127.0.0.1:$http_port"${extra:+, $extra}},
 "lines": [{"link": {"type": "tcp", "host": "127.0.0.1", "port": $(cat "$work/port1")}, "interval_s": 1,
            "units": [{"slave": 1, "name": "crac-1"}]},
           {"link": {"type": "tcp", "host": "127.0.0.1", "port": $(cat "$work/port2")}, "interval_s": 1,
            "units": [{"slave": 1, "name": "crac-2"}]}]}
JSON
"$build/qmhost" serve --site "$work/site.json" --driver-log /dev/null 2>"$work/agent.log" &
pids+=($!)
wait_for "curl -sf http://127.0.0.1:$http_port/metrics | grep -q 'qm_unit_up{site=\"bench\",unit=\"crac-2\"} 1'" "the agent"
curl -sf "http://127.0.0.1:$http_port/metrics" >"$work/metrics"
echo "$script: http {${extra}}; a scrape of both units: $(wc -c <"$work/metrics") bytes"
for unit in crac-2 crac-1; do
    what=$([ "$unit" = crac-1 ] && echo "one alarm active" || echo "no alarm active")
    grep "unit=\"$unit\"" "$work/metrics" | awk -v u="$unit" -v w="$what" \
        '{ n++; b += length($0) + 1 } END { printf "%s (%s): %d series, %d bytes\n", u, w, n, b }'
done

#!/usr/bin/env bash
# The agent's HTTP side on a simulated site of UNITS units (LINES TCP lines
# of qmsim, each serving its units by slave id) at interval 2 s:
#   1. the time to answer GET /metrics and GET /api/status, 50 requests each
#      (the render dominates: loopback, no keep-alive), and their sizes;
#   2. the agent's CPU share with no client, then while a Prometheus server
#      scrapes it every second and headless Chromium keeps the status page
#      open (a fetch every 2 s).
#
#   bench/agent_http.sh [SECONDS [UNITS [LINES]]]      (default 60 64 8)
#   BUILD=build                  the build dir holding qmhost, qmsim and the plug-in
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD:-build}
script=agent_http.sh
for tool in prometheus chromium python3; do
    command -v "$tool" >/dev/null || { echo "$script: $tool is missing (scripts/install-deps.sh test bench)" >&2; exit 1; }
done
seconds=${1:-60}
units=${2:-64}
lines=${3:-8}
per_line=$(( (units + lines - 1) / lines ))

. bench/agent_bench_lib.sh

entries=()
made=0
for l in $(seq "$lines"); do
    "$build/qmsim" --tcp 127.0.0.1:0 --port-file "$work/port$l" >"$work/sim$l.log" 2>&1 &
    pids+=($!)
    wait_for "[ -s $work/port$l ]" "qmsim $l"
    line_units=()
    for s in $(seq "$per_line"); do
        [ "$made" -lt "$units" ] || break
        made=$((made + 1))
        line_units+=("{\"slave\": $s, \"name\": \"crac-$made\"}")
    done
    [ ${#line_units[@]} -gt 0 ] || break
    entries+=("{\"link\": {\"type\": \"tcp\", \"host\": \"127.0.0.1\", \"port\": $(cat "$work/port$l")},
      \"interval_s\": 2, \"units\": [$(IFS=,; echo "${line_units[*]}")]}")
done
http_port=$(free_port)
cat >"$work/site.json" <<JSON
{"site": "bench", "store": {"path": "store.db"}, "http": {"listen": "127.0.0.1:$http_port"},
 "lines": [$(IFS=,; echo "${entries[*]}")]}
JSON
"$build/qmhost" serve --site "$work/site.json" --driver-log /dev/null 2>"$work/agent.log" &
agent=$!
pids+=("$agent")
url=http://127.0.0.1:$http_port
current() {
    python3 - "$url" "$units" <<'PY'
import json, sys, urllib.request
status = json.load(urllib.request.urlopen(sys.argv[1] + "/api/status", timeout=5))
sys.exit(0 if sum(u["health"]["current"] for u in status["units"]) == int(sys.argv[2]) else 1)
PY
}
wait_for current "every unit current"

echo "$script: $units units on $lines TCP lines at 2 s"
python3 - "$url" <<'PY'
import statistics, sys, time, urllib.request
for path in ("/metrics", "/api/status"):
    times, size = [], 0
    for _ in range(50):
        started = time.perf_counter()
        size = len(urllib.request.urlopen(sys.argv[1] + path, timeout=5).read())
        times.append((time.perf_counter() - started) * 1000)
    times.sort()
    print(f"GET {path}: {size} bytes, median {statistics.median(times):.2f} ms, "
          f"p90 {times[int(len(times) * 0.9)]:.2f} ms, min {times[0]:.2f} ms")
PY

ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$agent/stat"; }
share() {  # SECONDS: the agent's CPU share over that long from now
    local t0 n0
    t0=$(cpu_ticks); n0=$(date +%s%N)
    sleep "$1"
    awk -v t=$(( $(cpu_ticks) - t0 )) -v hz="$ticks" -v ns=$(( $(date +%s%N) - n0 )) \
        'BEGIN { printf "%.2f %% of one core", 100 * t / hz / (ns / 1e9) }'
}
echo "agent cpu, polling only ($((seconds / 2)) s): $(share $((seconds / 2)))"

prometheus_port=$(free_port)
cat >"$work/prometheus.yml" <<YAML
global: {scrape_interval: 1s, scrape_timeout: 1s}
scrape_configs:
  - job_name: qm
    static_configs: [{targets: ['127.0.0.1:$http_port']}]
YAML
prometheus --config.file="$work/prometheus.yml" --web.listen-address="127.0.0.1:$prometheus_port" \
    --storage.tsdb.path="$work/tsdb" >"$work/prometheus.log" 2>&1 &
pids+=($!)
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
    --disable-component-update --disable-sync --user-data-dir="$work/chromium" --remote-debugging-port=0 \
    "$url/" >"$work/chromium.log" 2>&1 &
pids+=($!)
sleep 3
echo "agent cpu, scraped every 1 s with the page open ($seconds s): $(share "$seconds")"
scrapes=$(python3 - "$prometheus_port" <<'PY'
import json, sys, urllib.request
q = "http://127.0.0.1:%s/api/v1/query?query=count_over_time(up%%7Bjob%%3D%%22qm%%22%%7D%%5B10m%%5D)" % sys.argv[1]
result = json.load(urllib.request.urlopen(q, timeout=5))["data"]["result"]
print(sum(float(r["value"][1]) for r in result))
PY
)
echo "prometheus scrapes counted: $scrapes"
# The page's requests as the kernel saw them: connections the agent accepted.
echo "chromium: $(grep -c . "$work/chromium.log" || true) log lines; last: $(tail -1 "$work/chromium.log" | cut -c1-120)"
kill -TERM "$agent"
wait "$agent" || { echo "$script: the agent did not exit 0" >&2; cat "$work/agent.log" >&2; exit 1; }

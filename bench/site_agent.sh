#!/usr/bin/env bash
# One site agent on a simulated site: RTU lines on pseudo-terminal pairs
# (socat), each with qmsim serving three units of which the third never
# answers, and TCP units of one qmsim each, every line at one interval.
# Samples the agent's CPU time, resident memory and store every 10 s, then
# prints its CPU share, memory first to last, bytes per record and store
# growth per unit per day, and the WAL syncs' time (strace, 20 s of the run).
#
#   bench/site_agent.sh [SECONDS [RTU_LINES [TCP_UNITS [INTERVAL_S]]]]   (default 300 3 32 1)
#   BUILD=build                     the build dir holding qmhost, qmsim and the plug-in
#   bench/site_agent.sh --callgrind [SECONDS]   instructions per unit cycle and per commit
#                                   (one TCP unit at 0.1 s under callgrind, default 20 s)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD:-build}
script=site_agent.sh
callgrind=false
if [ "${1:-}" = "--callgrind" ]; then callgrind=true; shift; fi
if $callgrind; then seconds=${1:-20}; rtu_lines=0; tcp_units=1; interval=0.1
else seconds=${1:-300}; rtu_lines=${2:-3}; tcp_units=${3:-32}; interval=${4:-1}; fi

# shellcheck source=bench/agent_bench_lib.sh
. bench/agent_bench_lib.sh

lines=()
for l in $(seq "$rtu_lines"); do
    socat -d -d "pty,raw,echo=0,link=$work/unit$l" "pty,raw,echo=0,link=$work/host$l" 2>"$work/socat$l.log" &
    pids+=($!)
    for _ in $(seq 100); do grep -q "starting data transfer loop" "$work/socat$l.log" && break; sleep 0.05; done
    "$build/qmsim" --rtu "$work/unit$l" --slave 1,2,3 --silent-slave 3 >"$work/rtu$l.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do grep -q "qmsim: serving" "$work/rtu$l.log" && break; sleep 0.05; done
    lines+=("{\"link\": {\"type\": \"rtu\", \"device\": \"$work/host$l\"}, \"interval_s\": $interval,
      \"units\": [{\"slave\": 1, \"name\": \"rtu$l-1\"}, {\"slave\": 2, \"name\": \"rtu$l-2\"},
                  {\"slave\": 3, \"name\": \"rtu$l-3\"}]}")
done
for t in $(seq "$tcp_units"); do
    "$build/qmsim" --tcp 127.0.0.1:0 --port-file "$work/port$t" >"$work/tcp$t.log" 2>&1 &
    pids+=($!)
    wait_for "[ -s $work/port$t ]" "qmsim $t"
    lines+=("{\"link\": {\"type\": \"tcp\", \"host\": \"127.0.0.1\", \"port\": $(cat "$work/port$t")},
      \"interval_s\": $interval, \"units\": [{\"slave\": 1, \"name\": \"tcp$t\"}]}")
done
{
    echo "{\"site\": \"bench\", \"store\": {\"path\": \"store.db\"}, \"lines\": ["
    (IFS=,; echo "${lines[*]}")
    echo "]}"
} >"$work/site.json"
units=$((rtu_lines * 3 + tcp_units))
answering=$((rtu_lines * 2 + tcp_units))  # the silent slaves store nothing

if $callgrind; then
    valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.out" --collect-atstart=no \
        --toggle-collect='LinePoller::poll_unit*' --toggle-collect='agent::Store::commit_cycle*' \
        "$build/qmhost" serve --site "$work/site.json" --driver-log /dev/null 2>"$work/agent.log" &
    agent=$!
    pids+=("$agent")
    sleep "$seconds"
    kill -TERM "$agent"
    wait "$agent" || { echo "$script: the agent failed:" >&2; cat "$work/agent.log" >&2; exit 1; }
    records=$(sqlite3 -cmd ".timeout 5000" "$work/store.db" "SELECT count(*) FROM record")
    # One unit on its line: a commit per unit cycle, and the agent's two events.
    commits=$((records + 2))
    echo "$script: callgrind, one TCP unit at 0.1 s for $seconds s: $records unit cycles, $commits commits"
    callgrind_annotate --inclusive=yes "$work/callgrind.out" 2>/dev/null |
        grep -E "\[.*qmhost\]" | grep -E "LinePoller::poll_unit|Store::commit_cycle" |
        awk -v r="$records" -v c="$commits" '{ gsub(",", "", $1); n = ($0 ~ /poll_unit/) ? r : c;
             printf "%-14s instructions in all, %9.0f each: %s\n", $1, $1 / n, ($0 ~ /poll_unit/) ? "unit cycle" : "commit" }'
    exit 0
fi

"$build/qmhost" serve --site "$work/site.json" --driver-log /dev/null 2>"$work/agent.log" &
agent=$!
pids+=("$agent")
ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$agent/stat"; }
user_ticks() { awk '{ print $14 }' "/proc/$agent/stat"; }
# What the agent had written to the disk (the kernel's count, the WAL and its checkpoints).
disk_bytes() { awk '/^write_bytes/ { print $2 }' "/proc/$agent/io"; }
rss_kb() { awk '/^VmRSS/ { print $2 }' "/proc/$agent/status"; }
store_bytes() { stat -c %s "$work/store.db" "$work/store.db-wal" 2>/dev/null | awk '{ s += $1 } END { print s + 0 }'; }

# Measured from the first commit on: the store and its tables exist then.
for _ in $(seq 100); do
    [ -s "$work/store.db" ] && [ "$(sqlite3 -cmd ".timeout 5000" "file:$work/store.db?mode=ro" "SELECT count(*) FROM record" 2>/dev/null || echo 0)" -gt 0 ] && break
    sleep 0.1
done
echo "$script: $rtu_lines RTU lines of 3 units (one silent), $tcp_units TCP units, interval $interval s, $seconds s"
printf '%6s %10s %10s %12s %10s\n' second "cpu %" "rss kB" "store B" records
start_ticks=$(cpu_ticks)
start_user=$(user_ticks)
start_disk=$(disk_bytes)
start_records=$(sqlite3 -cmd ".timeout 5000" "$work/store.db" "SELECT count(*) FROM record")
start_ns=$(date +%s%N)
first_rss=$(rss_kb)
last_ticks=$start_ticks
last_ns=$start_ns
for second in $(seq 10 10 "$seconds"); do
    sleep 10
    kill -0 "$agent" || { echo "$script: the agent stopped:" >&2; cat "$work/agent.log" >&2; exit 1; }
    now_ticks=$(cpu_ticks)
    now_ns=$(date +%s%N)
    printf '%6s %10s %10s %12s %10s\n' "$second" \
        "$(awk -v t=$((now_ticks - last_ticks)) -v hz="$ticks" -v ns=$((now_ns - last_ns)) \
            'BEGIN { printf "%.2f", 100 * t / hz / (ns / 1e9) }')" \
        "$(rss_kb)" "$(store_bytes)" "$(sqlite3 -cmd ".timeout 5000" "$work/store.db" "SELECT count(*) FROM record")"
    last_ticks=$now_ticks
    last_ns=$now_ns
done
end_ticks=$(cpu_ticks)
end_user=$(user_ticks)
end_disk=$(disk_bytes)
end_records=$(sqlite3 -cmd ".timeout 5000" "$work/store.db" "SELECT count(*) FROM record")
end_ns=$(date +%s%N)
last_rss=$(rss_kb)
# After the measured time: strace slows the agent down while attached.
timeout -s INT 20 strace -f -T -e trace=fsync,fdatasync -p "$agent" -o "$work/strace.log" 2>/dev/null || true
kill -TERM "$agent"
wait "$agent" || { echo "$script: the agent did not exit 0" >&2; exit 1; }

records=$(sqlite3 -cmd ".timeout 5000" "$work/store.db" "SELECT count(*) FROM record")
used=$(sqlite3 -cmd ".timeout 5000" "$work/store.db" "SELECT (SELECT page_count FROM pragma_page_count) - (SELECT freelist_count FROM pragma_freelist_count)")
page=$(sqlite3 -cmd ".timeout 5000" "$work/store.db" "PRAGMA page_size")
awk -v t=$((end_ticks - start_ticks)) -v u=$((end_user - start_user)) -v hz="$ticks" -v ns=$((end_ns - start_ns)) -v first="$first_rss" \
    -v last="$last_rss" -v records="$records" -v units="$answering" -v bytes=$((used * page)) -v interval="$interval" \
    -v disk=$((end_disk - start_disk)) -v window=$((end_records - start_records)) '
    BEGIN {
        printf "cpu: %.2f %% of one core (%.1f s over %.0f s, %.1f s of it in the process, %.1f s in the kernel)\n",
               100 * t / hz / (ns / 1e9), t / hz, ns / 1e9, u / hz, (t - u) / hz
        printf "resident memory: %d kB at the start, %d kB at the end\n", first, last
        printf "store: %d records, %d bytes in use, %.0f bytes per record, %.1f MB per unit per day at %s s\n",
               records, bytes, bytes / records, bytes / records * 86400 / interval / 1e6, interval
        printf "written to the disk: %.0f kB/s, %.1f GB a day, %.0f bytes per record (%d records in the window)\n",
               disk / (ns / 1e9) / 1e3, disk / (ns / 1e9) * 86400 / 1e9, disk / window, window
        printf "days of history in 256 MiB: %.2f at 1 s, %.1f at 5 s (%d units)\n",
               256 * 1048576 / (bytes / records) / units / 86400, 5 * 256 * 1048576 / (bytes / records) / units / 86400, units
    }'
awk '/fsync|fdatasync/ { gsub(/[<>]/, "", $NF); print $NF }' "$work/strace.log" | sort -n |
    awk '{ v[++n] = $1; s += $1 }
         END { if (!n) { print "WAL syncs: none seen"; exit }
               p = int(n * 0.99); if (p < 1) p = 1
               printf "WAL syncs in the 20 s after: %d (%.1f a second), mean %.2f ms, median %.2f ms, p99 %.2f ms\n",
                      n, n / 20, 1000 * s / n, 1000 * v[int((n + 1) / 2)], 1000 * v[p] }'
echo "units: $units"

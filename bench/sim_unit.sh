# Sourced by the bench scripts: a work folder and one qmsim unit on an
# ephemeral loopback port, both removed on exit. Needs $build and $script.
work=$(mktemp -d)
sim_pid=""
cleanup() {
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

# Starts the unit; sets $port.
start_sim_unit() {
    "$build/qmsim" --tcp 127.0.0.1:0 --port-file "$work/port" >"$work/qmsim.log" 2>&1 &
    sim_pid=$!
    for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
    [ -s "$work/port" ] || { echo "$script: qmsim did not start:" >&2; cat "$work/qmsim.log" >&2; exit 1; }
    port=$(cat "$work/port")
}

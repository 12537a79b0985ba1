# Sourced by the agent's benches once `script` and `build` are set: the
# programs checked, a work folder, the processes started (pids) stopped by
# their PID at exit, a free loopback port and a bounded wait on a condition.
for program in "$build/qmsim" "$build/qmhost" "$build/qm4700rx2va9.so"; do
    [ -f "$program" ] || { echo "$script: $program is missing; build $build first" >&2; exit 1; }
done
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
wait_for() {  # CONDITION-COMMAND WHAT
    for _ in $(seq 400); do eval "$1" >/dev/null 2>&1 && return 0; sleep 0.05; done
    echo "$script: $2 did not start" >&2
    exit 1
}

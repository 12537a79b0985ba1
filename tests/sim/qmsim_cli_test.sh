#!/usr/bin/env bash
# qmsim as a program: one-line refusals, the port file and ready line, the
# state file served, and a clean exit on SIGTERM.
#   qmsim_cli_test.sh QMSIM
set -euo pipefail
qmsim=$1
work=$(mktemp -d)
pid=""
cleanup() {
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "qmsim_cli_test: $*" >&2; exit 1; }
# Bounded wait: up to 5 s for a condition.
wait_for() { for _ in $(seq 100); do if eval "$1"; then return 0; fi; sleep 0.05; done; return 1; }

refused() {  # TEXT ARGS...: qmsim exits non-zero with TEXT in one line on stderr
    local text=$1; shift
    if "$qmsim" "$@" >"$work/out" 2>"$work/err"; then fail "accepted: $*"; fi
    [ "$(wc -l <"$work/err")" -eq 1 ] || fail "not one line for $*: $(cat "$work/err")"
    grep -qF -- "$text" "$work/err" || fail "no \"$text\" for $*: $(cat "$work/err")"
}
"$qmsim" --version | grep -qE '^qmsim [0-9]+\.[0-9]+\.[0-9]+$' || fail "--version: $("$qmsim" --version)"
# Each fault switch has a line of its own that says what it does.
"$qmsim" --help >"$work/help"
for switch in --silent-after --exception --drop-every --wrong-echo; do
    grep -qE -- "^  $switch( [A-Z]+)? +[a-z]" "$work/help" || fail "--help does not explain $switch"
done

echo '{"regs": {"11": ' >"$work/broken.json"
echo '{"regs": {"11": 70000}}' >"$work/range.json"
refused "unknown option --bogus" --tcp 127.0.0.1:0 --bogus
refused "no link: give --tcp HOST:PORT or --rtu DEVICE" --slave 2
refused "--parity must be N, E or O" --rtu /dev/null --parity X
refused "$work/broken.json is not JSON" --tcp 127.0.0.1:0 --state "$work/broken.json"
refused "regs \"11\"" --tcp 127.0.0.1:0 --state "$work/range.json"
refused "/dev/nonexistent-qmsim" --rtu /dev/nonexistent-qmsim
refused "need --rtu" --tcp 127.0.0.1:0 --slave 1,2
refused "--silent-slave 4: not in --slave" --rtu /dev/null --slave 1,2 --silent-slave 4
refused "--slave lists 2 twice" --rtu /dev/null --slave 2,2

echo '{"regs": {"11": 250}}' >"$work/state.json"
"$qmsim" --tcp 127.0.0.1:0 --state "$work/state.json" --port-file "$work/port" >"$work/out" 2>"$work/err" &
pid=$!
wait_for '[ -s "$work/out" ]' || fail "not ready: $(cat "$work/err")"
port=$(cat "$work/port")
[ "$(cat "$work/out")" = "qmsim: listening on 127.0.0.1:$port" ] || fail "ready line: $(cat "$work/out")"
if command -v mbpoll >/dev/null; then
    mbpoll -m tcp -p "$port" -a 1 -t 4 -0 -r 11 -c 1 -1 127.0.0.1 | grep -q '^\[11\]:[[:space:]]*250$' \
        || fail "register 11 is not the state file's 250"
fi
kill -TERM "$pid"
wait_for '! kill -0 "$pid" 2>/dev/null' || fail "still running 5 s after SIGTERM"
status=0
wait "$pid" || status=$?
pid=""
[ "$status" -eq 0 ] || fail "exit status $status after SIGTERM"

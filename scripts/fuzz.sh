#!/usr/bin/env bash
# Fuzzes the driver with libFuzzer (clang, ASan, UBSan): the command entry,
# the settings and the cached records, one target after the other, each for
# a bounded time, starting from its seed corpus; and what the agent takes
# from outside: the messages from a broker (the agent's and the ingest's),
# its site file, and the requests to its HTTP side. Fails on any finding;
# the inputs that caused one are kept in build-fuzz/findings/.
#   scripts/fuzz.sh [SECONDS-PER-TARGET [TARGET...]]
#   (default 60 seconds; targets device_io, settings, record, broker_message,
#   site_file, http_request, default all)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
targets=("${@:2}")
((${#targets[@]})) || targets=(device_io settings record broker_message site_file http_request)
for target in "${targets[@]}"; do
    [[ -d tests/fuzz/corpus/$target ]] || { echo "fuzz.sh: no fuzz target $target" >&2; exit 2; }
done

scripts/install-deps.sh demo fuzz
cmake -S . -B build-fuzz -DQM_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null \
    || { echo "fuzz.sh: configure failed" >&2; exit 1; }
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]/%/_fuzz}" \
    || { echo "fuzz.sh: build failed" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
failed=()
for target in "${targets[@]}"; do
    options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 -print_final_stats=1)
    case "$target" in
        device_io | settings) options+=(-dict=tests/fuzz/json.dict) ;;
        broker_message | site_file | http_request) options+=(-dict=tests/fuzz/"$target".dict) ;;
    esac
    mkdir -p "$work/$target"
    if build-fuzz/tests/fuzz/"$target"_fuzz "${options[@]}" -artifact_prefix="$work/$target-" \
            "$work/$target" "tests/fuzz/corpus/$target" >"$work/$target.log" 2>&1; then
        echo "fuzz.sh: $target: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$work/$target.log" | tail -1)"
        grep -E '^stat::number_of_executed_units' "$work/$target.log" || true
    else
        echo "fuzz.sh: $target: the fuzzer found a fault; its report:" >&2
        grep -E -A30 '^==[0-9]+==ERROR|runtime error|deadly signal|uncaught' "$work/$target.log" | head -60 >&2 || tail -40 "$work/$target.log" >&2
        mkdir -p build-fuzz/findings
        cp "$work/$target"-* build-fuzz/findings/ 2>/dev/null || true
        ls build-fuzz/findings >&2
        failed+=("$target")
    fi
done
if ((${#failed[@]})); then
    echo "fuzz.sh: findings in: ${failed[*]} (add each input under tests/fuzz/corpus/<target>/ once mended)" >&2
    exit 1
fi

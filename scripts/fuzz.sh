#!/usr/bin/env bash
# Fuzzes the driver's command entry with libFuzzer (clang, ASan, UBSan) for a
# bounded time, starting from the seed corpus. Fails on any finding.
#   scripts/fuzz.sh [SECONDS]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

scripts/install-deps.sh demo fuzz
cmake -S . -B build-fuzz -DQM_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null \
    || { echo "fuzz.sh: configure failed" >&2; exit 1; }
cmake --build build-fuzz -j"$(nproc)" --target device_io_fuzz || { echo "fuzz.sh: build failed" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
if ! build-fuzz/tests/fuzz/device_io_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$work/" "$work" tests/fuzz/corpus; then
    echo "fuzz.sh: the fuzzer found a fault; the input that caused it:" >&2
    ls "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-* 2>/dev/null >&2 || true
    mkdir -p build-fuzz/findings && cp "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-* build-fuzz/findings/ 2>/dev/null || true
    exit 1
fi

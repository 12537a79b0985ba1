#!/usr/bin/env bash
# Installs the dependencies, builds and runs the test suite.
#   scripts/test.sh             build/ (plain)
#   scripts/test.sh --sanitize  build-asan/ (AddressSanitizer + UndefinedBehaviorSanitizer)
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
options=(-DQM_BUILD_TESTS=ON)
case "${1:-}" in
    "") ;;
    --sanitize)
        build=build-asan
        options+=(-DQM_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
        export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
        export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
        ;;
    *) echo "usage: $0 [--sanitize]" >&2; exit 2 ;;
esac

scripts/install-deps.sh demo test
cmake -S . -B "$build" "${options[@]}" >/dev/null || { echo "test.sh: configure failed" >&2; exit 1; }
cmake --build "$build" -j"$(nproc)" || { echo "test.sh: build failed" >&2; exit 1; }
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 300 \
    || { echo "test.sh: tests failed in $build" >&2; exit 1; }

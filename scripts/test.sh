#!/usr/bin/env bash
# Installs the dependencies, builds and runs the test suite.
#   scripts/test.sh             build/ (plain)
#   scripts/test.sh --sanitize  build-asan/ (AddressSanitizer + UndefinedBehaviorSanitizer)
#   scripts/test.sh --thread    build-tsan/ (ThreadSanitizer): only the programs and the tests
#                               of the site agent, whose lines run on threads of their own
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
options=(-DQM_BUILD_TESTS=ON)
targets=()
tests=()
case "${1:-}" in
    "") ;;
    --sanitize)
        build=build-asan
        options+=(-DQM_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
        export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
        export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
        ;;
    --thread)
        build=build-tsan
        options+=(-DQM_THREAD_SANITIZE=ON -DQM_BUILD_BENCH=OFF)
        targets=(--target qmhost qmsim)
        tests=(-R '^e2e_(serve|mqtt|notify)$')
        # A race ends the program at once with status 66, which the tests see.
        export TSAN_OPTIONS=halt_on_error=1:exitcode=66:second_deadlock_stack=1
        ;;
    *) echo "usage: $0 [--sanitize|--thread]" >&2; exit 2 ;;
esac

scripts/install-deps.sh demo test
cmake -S . -B "$build" "${options[@]}" >/dev/null || { echo "test.sh: configure failed" >&2; exit 1; }
cmake --build "$build" -j"$(nproc)" ${targets[@]+"${targets[@]}"} || { echo "test.sh: build failed" >&2; exit 1; }
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 300 ${tests[@]+"${tests[@]}"} \
    || { echo "test.sh: tests failed in $build" >&2; exit 1; }

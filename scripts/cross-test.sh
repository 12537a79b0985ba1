#!/usr/bin/env bash
# Builds the plug-in, the stand-in host, the tools and the tests for the
# gateway (32-bit MIPS, little-endian) in build-mipsel/, and runs the tests
# under qemu-mipsel. Then builds the plug-in alone the way an integrator does
# against the gateway maker's header (QM_GATEWAY_SDK), from a copy of ours.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-mipsel
# Tests left out under user-mode emulation, each with its reason:
excluded=(
    # They start the target's programs (qmhost, qmsim) as processes from a
    # host script; without binfmt_misc the host cannot exec a MIPS binary.
    'e2e_.*'
    'qmsim_command_line'
    # It runs the target's qmhost (history, decode) from the test.
    'StoreHistory\.RawRoundTripsThroughDecode'
    # qemu-user answers /proc/self/stat with its own figures (a resident
    # size of 0): the process metrics are the emulator's, not the target's.
    'Metrics\.TheProcessAsTheKernelSeesIt'
)
exclude_regex="^($(IFS='|'; echo "${excluded[*]}"))\$"

scripts/install-deps.sh demo cross
scripts/install-target-deps.sh "$build/sysroot"

configure() {
    cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mipsel-linux-gnu.cmake" -DQM_BUILD_BENCH=OFF "$@" >/dev/null \
        || { echo "cross-test.sh: configure for mipsel failed" >&2; exit 1; }
}
start=$SECONDS
configure -DQM_BUILD_TOOLS=ON
cmake --build "$build" -j"$(nproc)" || { echo "cross-test.sh: mipsel build failed" >&2; exit 1; }
built=$SECONDS

plugin_kind=$(file -b "$build/qm4700rx2va9.so")
case "$plugin_kind" in
    "ELF 32-bit LSB shared object, MIPS"*) echo "cross-test.sh: qm4700rx2va9.so: $plugin_kind" ;;
    *) echo "cross-test.sh: qm4700rx2va9.so is not a 32-bit MIPS LSB shared object: $plugin_kind" >&2; exit 1 ;;
esac

ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 300 -E "$exclude_regex" \
    || { echo "cross-test.sh: tests failed under qemu-mipsel in $build" >&2; exit 1; }
echo "cross-test.sh: build $((built - start)) s, tests $((SECONDS - built)) s"

# The SDK build: a copy of our header in another folder must give a plug-in
# with the same dynamic symbols, and only the plug-in; a header that does not
# compile must fail the build, so the copy is the one compiled.
sdk=build-mipsel-sdk
sdk_build() {
    rm -rf "$sdk/sdk" && mkdir -p "$sdk/sdk" && cp host/framework.hpp "$sdk/sdk/"
    [ -z "${1:-}" ] || echo "$1" >>"$sdk/sdk/framework.hpp"
    cmake -S . -B "$sdk" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mipsel-linux-gnu.cmake" \
        -DQM_TARGET_SYSROOT="$PWD/$build/sysroot" -DQM_GATEWAY_SDK="$PWD/$sdk/sdk" >/dev/null \
        || { echo "cross-test.sh: configure with QM_GATEWAY_SDK failed" >&2; exit 1; }
    cmake --build "$sdk" -j"$(nproc)" --target qm4700rx2va9 >"$sdk/build.log" 2>&1
}
if sdk_build '#error "not the framework header to use"'; then
    echo "cross-test.sh: QM_GATEWAY_SDK: the plug-in built without the SDK folder's header" >&2; exit 1
fi
sdk_build || { cat "$sdk/build.log" >&2; echo "cross-test.sh: plug-in build against QM_GATEWAY_SDK failed" >&2; exit 1; }
symbols() { readelf -W --dyn-syms "$1" | awk 'NF >= 8 {print $5, $7 == "UND", $8}' | sort; }
if ! diff <(symbols "$build/qm4700rx2va9.so") <(symbols "$sdk/qm4700rx2va9.so") >&2; then
    echo "cross-test.sh: the plug-in built against QM_GATEWAY_SDK differs in its dynamic symbols" >&2; exit 1
fi
if [ -n "$(cmake --build "$sdk" --target help | grep -E 'zkvhost|qmhost|qmsim|_test' || true)" ]; then
    echo "cross-test.sh: QM_GATEWAY_SDK builds more than the plug-in" >&2; exit 1
fi
echo "cross-test.sh: plug-in built against a framework header from $sdk/sdk, same dynamic symbols"

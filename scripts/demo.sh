#!/usr/bin/env bash
# The project's main job on a laptop: installs the dependencies, builds the
# plug-in, the host runner (qmhost) and the unit simulator (qmsim) into
# build/, and runs `qmhost demo`, which polls a simulated unit, changes its
# return-air setpoint and raises an alarm.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${QM_BUILD_DIR:-build}

scripts/install-deps.sh demo
# The tests' libraries are not among the demo's packages: the demo leaves the
# tests out of the build (scripts/test.sh turns them back on in the same folder).
cmake -S . -B "$build" -DQM_BUILD_TESTS=OFF >/dev/null || { echo "demo.sh: configure failed" >&2; exit 1; }
cmake --build "$build" -j"$(nproc)" --target qmhost qmsim || { echo "demo.sh: build failed" >&2; exit 1; }
"$build/qmhost" demo || { echo "demo.sh: the demo failed" >&2; exit 1; }

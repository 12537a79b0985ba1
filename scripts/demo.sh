#!/usr/bin/env bash
# The project's main job on a laptop: installs the dependencies, builds the
# plug-in and the host runner into build/, and runs `qmhost demo`, which
# polls a simulated unit, changes its return-air setpoint and raises an alarm.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${QM_BUILD_DIR:-build}

scripts/install-deps.sh
cmake -S . -B "$build" >/dev/null || { echo "demo.sh: configure failed" >&2; exit 1; }
cmake --build "$build" -j"$(nproc)" --target qmhost || { echo "demo.sh: build failed" >&2; exit 1; }
"$build/qmhost" demo || { echo "demo.sh: the demo failed" >&2; exit 1; }

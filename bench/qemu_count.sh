#!/usr/bin/env bash
# Target (32-bit MIPS) instructions of one operation after a warm-up, as
# qemu-mipsel executes them: the mipsel build of qm_one_operation runs
# under qemu with its translation blocks and their runs logged, and
# qemu_count.py adds up the blocks run between the program's two getppid()
# markers. Debian's qemu has no instruction-counting plug-in; this is the
# same count from qemu's own log.
#
#   bench/qemu_count.sh           MIPS_BUILD=build-bench-mipsel SYSROOT=build-mipsel/sysroot
set -euo pipefail
cd "$(dirname "$0")/.."

build=${MIPS_BUILD:-build-bench-mipsel}
sysroot=${SYSROOT:-build-mipsel/sysroot}
program="$build/bench/qm_one_operation"
[ -x "$program" ] || { echo "qemu_count.sh: $program is missing; cross-build it (BENCHMARKS.md)" >&2; exit 1; }
command -v qemu-mipsel >/dev/null || { echo "qemu_count.sh: qemu-mipsel is missing (scripts/install-deps.sh cross)" >&2; exit 1; }
libs="$(cd "$sysroot" && pwd)/usr/lib/mipsel-linux-gnu:$(cd "$build" && pwd)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for op in cycle rebuild801 render801 control106; do
    qemu-mipsel -L /usr/mipsel-linux-gnu -E LD_LIBRARY_PATH="$libs" \
        -d in_asm,exec,nochain,strace -D "$work/$op.log" "$program" "$op" \
        || { echo "qemu_count.sh: $op failed under qemu-mipsel" >&2; exit 1; }
    printf '%-11s %s\n' "$op" "$(python3 bench/qemu_count.py "$work/$op.log")"
    rm -f "$work/$op.log"
done

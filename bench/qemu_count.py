#!/usr/bin/env python3
"""Target instructions executed between the first two getppid() calls, from
a qemu-user log written with -d in_asm,exec,nochain,strace: each executed
translation block (an "exec" line, unchained so every run is logged) counts
the instructions its in_asm listing shows.

    qemu_count.py LOG
"""
import re
import sys

TRACE = re.compile(r"^Trace \d+: 0x[0-9a-f]+ \[[0-9a-f]+/([0-9a-f]+)/")
INSN = re.compile(r"^0x([0-9a-f]+):\s")


def count(path):
    sizes = {}  # block start -> instructions, the latest translation
    block_pc, block_len = None, 0
    markers = 0
    executed = blocks = 0
    with open(path, errors="replace") as log:
        for line in log:
            if line.startswith("Trace "):
                if markers == 1:
                    pc = int(TRACE.match(line).group(1), 16)
                    if pc not in sizes:
                        sys.exit(f"qemu_count.py: block at {pc:#x} executed before its listing")
                    executed += sizes[pc]
                    blocks += 1
                continue
            m = INSN.match(line)
            if m:
                if block_pc is None:
                    block_pc, block_len = int(m.group(1), 16), 0
                block_len += 1
                continue
            if block_pc is not None and not line.strip():
                sizes[block_pc] = block_len
                block_pc = None
                continue
            if "getppid(" in line and "=" in line:
                markers += 1
                if markers == 2:
                    break
    if markers < 2:
        sys.exit("qemu_count.py: the log does not hold two getppid() markers")
    return executed, blocks


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    instructions, blocks = count(sys.argv[1])
    print(f"{instructions} instructions in {blocks} blocks")

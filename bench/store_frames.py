#!/usr/bin/env python3
"""The packed size of a store's record bodies three ways, to choose how the
store packs them: alone (zstd level 3, no dictionary), against the unit's
keyframe (what the store does: a copy of an earlier record of the unit,
renewed every 256 rows), and against the unit's previous record (smallest,
but a row then needs every row back to its keyframe to be read).

    bench/store_frames.py STORE.db      (a store written by qmhost serve)
"""
import ctypes
import sqlite3
import sys

zstd = ctypes.CDLL("libzstd.so.1")
zstd.ZSTD_createCCtx.restype = ctypes.c_void_p
zstd.ZSTD_CCtx_setParameter.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
zstd.ZSTD_CCtx_refPrefix.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]
zstd.ZSTD_compress2.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t]
zstd.ZSTD_compress2.restype = ctypes.c_size_t
sys.path.insert(0, sys.path[0] + "/../tests/e2e")
from e2e_support import STORE_RECORDS_SQL, store_body  # noqa: E402

cctx = zstd.ZSTD_createCCtx()


def packed(body, base=b""):
    zstd.ZSTD_CCtx_setParameter(cctx, 100, 3)    # ZSTD_c_compressionLevel
    zstd.ZSTD_CCtx_setParameter(cctx, 10, 1)     # ZSTD_c_format: magicless
    zstd.ZSTD_CCtx_setParameter(cctx, 201, 0)    # ZSTD_c_checksumFlag
    zstd.ZSTD_CCtx_setParameter(cctx, 202, 0)    # ZSTD_c_dictIDFlag
    if base:
        zstd.ZSTD_CCtx_refPrefix(cctx, base, len(base))
    out = ctypes.create_string_buffer(2 * len(body) + 64)
    return zstd.ZSTD_compress2(cctx, out, len(out), body, len(body))


db = sqlite3.connect(f"file:{sys.argv[1]}?mode=ro", uri=True)
rows = [(unit, store_body(body, key)) for unit, body, key in
        db.execute(STORE_RECORDS_SQL % "unit" + " ORDER BY seq")]
keyframe, previous, seen, sums = {}, {}, {}, [0, 0, 0]
for unit, body in rows:
    seen[unit] = seen.get(unit, 0) + 1
    if unit not in keyframe or seen[unit] % 256 == 1:
        keyframe[unit] = body
    sums[0] += packed(body)
    sums[1] += packed(body, keyframe[unit])
    sums[2] += packed(body, previous.get(unit, b""))
    previous[unit] = body
count = max(len(rows), 1)
print(f"{len(rows)} records, mean body {sum(len(b) for _, b in rows) / count:.0f} bytes; packed: "
      f"alone {sums[0] / count:.1f}, against the keyframe {sums[1] / count:.1f}, "
      f"against the previous record {sums[2] / count:.1f} bytes")

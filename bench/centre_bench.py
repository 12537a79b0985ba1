#!/usr/bin/env python3
"""The centre's figures on loopback, with Debian's mosquitto and PostgreSQL
15 (a server of its own in a temporary folder): records per second drained
from the broker into PostgreSQL by 1, 2 and 3 ingest processes on one shared
subscription, and into the SQLite ingest store by one; the latency from a
record's commit at the site to its commit at the centre; bytes per record
in each database, and in PostgreSQL without the jsonb values.
    bench/centre_bench.py [BUILD_DIR [latency]]   (default build/; needs outbox_agent; latency: that alone)"""

import os
import signal
import sqlite3
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build"))
os.environ.setdefault("QMHOST", os.path.join(BUILD, "qmhost"))

from e2e_support import Session, wait_until  # noqa: E402
from mqtt_support import PG_BIN, Broker, PostgresCentre, SqliteCentre, scalar  # noqa: E402
from mqtt_bench import agent, ingest, queue_for  # noqa: E402

TOTAL = 40000  # 4 sites of 10 units, 1000 cycles each: queue_for's


def drain(session, centre, ingests, tag):
    """Records per second from the first row kept to the last, TOTAL records
    queued first: at the broker for a named ingest session while it is away
    (SQLite), or, for PostgreSQL's `ingests` processes on one shared
    subscription (whose messages the broker does not queue for members
    away), at the broker and in the ingests while a session holds qm_store
    locked; then let go."""
    broker = Broker(session, "b-" + tag)
    if isinstance(centre, SqliteCentre):
        first = ingest(session, broker, centre.db, "--id", tag, name=tag + "-first")
        first.signal(signal.SIGTERM)
        first.wait()
        queue_for(session, broker, tag)
        running = [ingest(session, broker, centre.db, "--id", tag, name=tag)]
    else:
        first = ingest(session, broker, centre.db, name=tag + "-schema")  # the schema, before the lock
        first.signal(signal.SIGTERM)
        first.wait()
        hold = subprocess.Popen([f"{PG_BIN}/psql", "-X", "-q", "-h", centre.folder, "-U", "qm", "qm"],
                                stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True)
        hold.stdin.write("BEGIN; LOCK TABLE qm_store IN ACCESS EXCLUSIVE MODE;\n")
        hold.stdin.flush()
        wait_until(lambda: centre.scalar("SELECT count(*) FROM pg_locks WHERE mode = 'AccessExclusiveLock' "
                                         "AND relation = 'qm_store'::regclass") == 1, "qm_store locked")
        share = ["--share", "centre"] if ingests > 1 else []
        running = [ingest(session, broker, centre.db, *share, name=f"{tag}-{i}") for i in range(ingests)]
        queue_for(session, broker, tag)
        hold.stdin.write("COMMIT;\n")
        hold.stdin.close()
        hold.wait(30)

    def kept():
        time.sleep(0.5)  # the count costs the machine too
        return centre.scalar("SELECT count(*) FROM {record}") >= TOTAL
    wait_until(kept, "all kept", 300)
    if isinstance(centre, SqliteCentre):
        first_ms, last_ms = centre.rows("SELECT min(received_ms), max(received_ms) FROM record")[0]
        seconds = (last_ms - first_ms) / 1000
    else:
        seconds = float(centre.scalar("SELECT extract(epoch FROM max(received) - min(received)) FROM qm_record"))
    for p in running:
        p.signal(signal.SIGTERM)
        p.wait(30)
    return TOTAL / max(seconds, 1e-3)


def latency(session, centre, tag):
    """Commit at the centre less the record's time stamp, which holds the
    site's own group commit (a second's cycles at once); and per group, as
    the centre received it (rows within 50 ms), its last commit less its
    latest stamp: the site's commit to the centre's. Medians and p99s, ms."""
    broker = Broker(session, "lat-" + tag)
    ingest(session, broker, centre.db, name="ingest-lat-" + tag)
    _, store = agent(session, broker, "lat-" + tag, "--interval-ms", 200, "--units", 2, "--cycles", 150)
    wait_until(lambda: scalar(store, "SELECT count(*) FROM record WHERE confirmed = 1") == 300, "confirmed", 90)
    with sqlite3.connect(store) as c:
        stamped = dict(c.execute("SELECT seq, ts_ms FROM record"))
    if isinstance(centre, SqliteCentre):
        kept = centre.rows("SELECT received_ms, seq FROM record ORDER BY 1")
    else:
        kept = centre.rows("SELECT (extract(epoch FROM received) * 1000)::bigint, seq FROM qm_record ORDER BY 1")
    groups = []
    for received, seq in kept:
        if not groups or received - groups[-1][0] > 50:
            groups.append([received, stamped[seq]])
        groups[-1] = [received, max(groups[-1][1], stamped[seq])]
    figures = []
    for ms in (sorted(received - stamped[seq] for received, seq in kept), sorted(r - t for r, t in groups)):
        figures += [statistics.median(ms), ms[max(0, int(len(ms) * 0.99) - 1)]]
    return figures


def pg_bytes(centre):
    rows = centre.scalar("SELECT count(*) FROM qm_record")
    total = sum(int(n) for (n,) in centre.rows(
        "SELECT pg_total_relation_size(c.oid) FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid "
        "WHERE i.inhparent = 'qm_record'::regclass"))
    values = float(centre.scalar('SELECT avg(pg_column_size("values")) FROM qm_record'))
    return total / rows, total / rows - values, values


def main():
    session = Session()
    try:
        if "latency" in sys.argv[2:]:
            return print_latency(session)
        print("records/s drained (40,000 queued: 4 sites x 10 units x 1000 cycles)")
        for n in (1, 2, 3):
            centre = PostgresCentre(session)
            print(f"  PostgreSQL, {n} ingest(s): {drain(session, centre, n, f'pg{n}'):.0f}")
            if n == 1:
                per_record, without_values, values = pg_bytes(centre)
        centre = SqliteCentre(session, "drain")
        print(f"  SQLite ingest store, 1 ingest: {drain(session, centre, 1, 'sq'):.0f}")
        sqlite_bytes = scalar(centre.db, "PRAGMA page_count") * scalar(centre.db, "PRAGMA page_size") / TOTAL
        print("bytes per record in the database (tables and indexes)")
        print(f"  PostgreSQL: {per_record:.0f} ({without_values:.0f} without the jsonb values, "
              f"which take {values:.0f})")
        print(f"  SQLite ingest store: {sqlite_bytes:.0f}")
        print_latency(session)
    finally:
        session.close()


def print_latency(session):
    print("latency to the commit at the centre, median / p99 ms (2 units at 0.2 s, 300 records)")
    for tag, centre in (("pg", PostgresCentre(session)), ("sq", SqliteCentre(session, "latency"))):
        stamp, stamp99, commit, commit99 = latency(session, centre, tag)
        print(f"  {'PostgreSQL' if tag == 'pg' else 'SQLite'}: from the record's time {stamp:.0f} / {stamp99:.0f}, "
              f"from the site's commit {commit:.0f} / {commit99:.0f}")


if __name__ == "__main__":
    main()

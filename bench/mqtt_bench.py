#!/usr/bin/env python3
"""Publishing figures on loopback, with Debian's mosquitto: latency from a
record's commit at the site to its commit at the ingest, the ingest's
sustained rate, a backlog's drain rate and the bytes of a record message.
    bench/mqtt_bench.py [BUILD_DIR]     (default build/; needs outbox_agent)"""

import os
import signal
import sqlite3
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build"))
os.environ.setdefault("QMHOST", os.path.join(BUILD, "qmhost"))

from e2e_support import QMHOST, Session, wait_until  # noqa: E402
from mqtt_support import Broker, scalar  # noqa: E402

AGENT = os.path.join(BUILD, "tests", "outbox_agent")


def agent(session, broker, name, *options, **mqtt):
    settings = {"host": "127.0.0.1", "port": broker.port, "backlog_per_s": 100000}
    settings.update(mqtt)
    path = session.write_json(name + ".json", settings)
    p = session.start(name, [AGENT, "--store", session.path(name + ".db"), "--site", name, "--mqtt", path,
                             *map(str, options)])
    p.wait_for_output("publishing")
    return p, session.path(name + ".db")


def ingest(session, broker, db, *options, name="ingest"):
    p = session.start(name, [QMHOST, "ingest", "--broker", f"127.0.0.1:{broker.port}", "--db", db, *options])
    p.wait_for_output("subscribed", stream="stderr")
    return p


def all_confirmed(store):
    return lambda: scalar(store, "SELECT count(*) FROM record WHERE confirmed = 0") == 0


def latency(session):
    broker = Broker(session, "b1")
    db = session.path("c1.db")
    ingest(session, broker, db)
    _, store = agent(session, broker, "lat", "--interval-ms", 200, "--units", 2, "--cycles", 150)
    wait_until(lambda: scalar(store, "SELECT count(*) FROM record") == 300 and all_confirmed(store)(), "all", 60)
    with sqlite3.connect(db) as c:
        c.execute(f"ATTACH '{store}' AS s")
        ms = sorted(r[0] for r in c.execute(
            "SELECT i.received_ms - a.ts_ms FROM record i JOIN s.record a ON a.seq = i.seq"))
    return statistics.median(ms), ms[int(len(ms) * 0.99) - 1], len(ms)


def ingest_rate(session):
    broker = Broker(session, "b2")
    db = session.path("c2.db")
    # A named session, away while the broker queues the agents' messages for it.
    first = ingest(session, broker, db, "--id", "bench-ingest")
    first.signal(signal.SIGTERM)
    first.wait()
    stores = [agent(session, broker, f"site-{i}", "--interval-ms", 1, "--units", 10, "--cycles", 1000)[1]
              for i in range(4)]
    for store in stores:
        wait_until(lambda: scalar(store, "SELECT count(*) FROM record WHERE acked_ms IS NOT NULL") == 10000,
                   "queued", 120)
    total = 40000
    ingest(session, broker, db, "--id", "bench-ingest", name="ingest-2")
    wait_until(lambda: scalar(db, "SELECT count(*) FROM record") >= total, "ingested", 120)
    first_ms, last_ms = scalar(db, "SELECT min(received_ms) FROM record"), scalar(db, "SELECT max(received_ms) FROM record")
    return total / max(1e-3, (last_ms - first_ms) / 1000.0), total


def queue_for(session, broker, prefix):
    """40,000 records of 4 sites, 10 units each, queued at the broker."""
    stores = [agent(session, broker, f"{prefix}-{i}", "--interval-ms", 1, "--units", 10, "--cycles", 1000)[1]
              for i in range(4)]
    for store in stores:
        wait_until(lambda: scalar(store, "SELECT count(*) FROM record WHERE acked_ms IS NOT NULL") == 10000,
                   "queued", 120)
    return 40000


def subscriber_rate(session):
    """mosquitto_sub taking in the same queue as the ingest, for the broker's own rate."""
    broker = Broker(session, "b5")
    args = ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(broker.port), "-q", "1", "-c", "-i", "bench-sub",
            "-t", "qm/v1/+/+/record"]
    session.start("sub-first", args + ["-E"]).wait(timeout=10)
    total = queue_for(session, broker, "sub")
    started = time.monotonic()
    sub = session.start("sub-drain", args + ["-C", str(total), "-F", "%l"])
    sub.wait(timeout=120)
    return total / (time.monotonic() - started), total


def drain_rate(session):
    broker = Broker(session, "b3")
    db = session.path("c3.db")
    ingest(session, broker, db)
    broker.process.popen.send_signal(signal.SIGSTOP)  # the site is cut off while it commits its backlog
    p, store = agent(session, broker, "drain", "--interval-ms", 1, "--units", 10, "--cycles", 1000, keepalive_s=5)
    p.wait_for_output("committed 1000", timeout=60)
    broker.process.popen.send_signal(signal.SIGCONT)
    started = time.monotonic()
    wait_until(all_confirmed(store), "drained", 120)
    return 10000 / (time.monotonic() - started)


def wire_bytes(session):
    broker = Broker(session, "b4")
    sub = session.start("sub", ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(broker.port), "-V", "5",
                                "-t", "qm/v1/+/+/record", "-C", "1", "-F", "%t\t%l"])
    time.sleep(0.5)
    agent(session, broker, "wire", "--interval-ms", 50, "--units", 1, "--cycles", 3)
    wait_until(lambda: "\t" in sub.stdout(), "a record", 10)
    topic, length = sub.stdout().split("\t")
    # PUBLISH: fixed header 1 + remaining length 2, topic 2 + topic, packet id 2, v5 properties 1.
    return int(length) + 1 + 2 + 2 + len(topic) + 2 + 1, int(length)


def wire_bytes_of_a_site(session, encoding, seconds=12):
    """A steady qmsim unit polled by qmhost serve at 0.2 s: every PUBLISH
    from the site (records, the unit's retained status, the agent's own) over
    `seconds`, as mosquitto_sub (v5) sees them, per record."""
    broker = Broker(session, "b-" + encoding)
    _, port = session.start_qmsim(name="qmsim-" + encoding)
    site = {"site": "site-1", "store": {"path": session.path(encoding + ".db")},
            "lines": [{"link": {"type": "tcp", "host": "127.0.0.1", "port": port}, "interval_s": 0.2,
                       "units": [{"slave": 1, "name": "crac-1"}]}],
            "mqtt": {"host": "127.0.0.1", "port": broker.port, "encoding": encoding}}
    sub = session.start("sub-" + encoding, ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(broker.port), "-V", "5",
                                            "-t", "qm/v1/#", "-W", str(seconds), "-F", "%t\t%l\t%C"])
    time.sleep(0.5)
    agent = session.start("serve-" + encoding, [QMHOST, "serve", "--site", session.write_json(encoding + ".json", site)])
    sub.wait(timeout=seconds + 10)
    agent.signal(signal.SIGTERM)
    agent.wait(10)
    total, records = 0, 0
    for line in sub.stdout().splitlines():
        topic, length, content_type = (line.split("\t") + ["", ""])[:3]
        # PUBLISH: fixed header 1 + remaining length 2, topic 2 + topic, packet id 2, v5 properties'
        # length 1, and the content type (1 + 2 + its text) when set.
        total += int(length) + 1 + 2 + 2 + len(topic) + 2 + 1 + (3 + len(content_type) if content_type else 0)
        records += topic.endswith("/record")
    return total / max(records, 1), records


def main():
    session = Session()
    try:
        median, p99, n = latency(session)
        print(f"latency commit -> ingest commit: median {median:.0f} ms, p99 {p99:.0f} ms ({n} records, 0.2 s cycles)")
        rate, total = ingest_rate(session)
        print(f"ingest sustained: {rate:.0f} records/s ({total} records queued at the broker)")
        rate, total = subscriber_rate(session)
        print(f"mosquitto_sub on the same queue: {rate:.0f} records/s ({total} records, connect to last)")
        print(f"backlog drain (backlog_per_s unbounded): {drain_rate(session):.0f} records/s (10000 records)")
        wire, payload = wire_bytes(session)
        print(f"record message: {payload} bytes of JSON, {wire} bytes on the wire with the MQTT header")
        for encoding in ("json", "compact"):
            wire, n = wire_bytes_of_a_site(session, encoding)
            print(f"qmhost serve, a steady qmsim unit, encoding {encoding}: {wire:.0f} bytes on the wire per record, "
                  f"statuses included ({n} records)")
    finally:
        session.close()


if __name__ == "__main__":
    main()

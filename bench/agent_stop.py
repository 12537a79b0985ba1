#!/usr/bin/env python3
"""How long the agent takes to stop after a long-ish run with its HTTP side
and publisher busy: a site of LINES TCP lines of qmsim (UNITS units each,
interval 0.2 s), HTTP on loopback, a mosquitto broker on loopback; for
SECONDS (and up to 10 s more, at random) two clients fetch /metrics, /api/status, a unit's
history (as the page's trend asks it) and the events back to back, then
SIGTERM. Ten more lines' address takes no connection (a loopback port
whose backlog is full: its SYNs go unanswered, as units switched off
behind a router): each, lost, is tried every 10 s for its timeout of 1 s,
so a stop often comes while one is connecting. Prints the time from the
signal to the exit, for each of RUNS runs.

    bench/agent_stop.py [SECONDS [RUNS [LINES [UNITS]]]]     (default 60 5 4 4)
    QMHOST, QMSIM: the programs (default build/qmhost, build/qmsim)
"""

import os
import random
import signal
import socket
import sys
import threading
import time
import http.client

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
os.environ.setdefault("QMHOST", os.path.join(REPO, "build", "qmhost"))
os.environ.setdefault("QMSIM", os.path.join(REPO, "build", "qmsim"))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))

from e2e_support import Session, free_tcp_port, wait_until  # noqa: E402
from mqtt_support import Broker  # noqa: E402


SILENT_LINES = 10


def busy_client(port, until, counts):
    """Keeps its connection open between requests, as a browser and a
    Prometheus server do; and holds it open past the stop."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
    while time.monotonic() < until:
        for path in ("/metrics", "/api/status", "/api/units/l0-1/history?step_s=10", "/api/events"):
            try:
                connection.request("GET", path)
                connection.getresponse().read()
                counts[0] += 1
            except (OSError, http.client.HTTPException):
                counts[1] += 1
                connection.close()
                connection = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
    counts.append(connection)


def silent_address():
    """A loopback port that answers no SYN: listening, its backlog filled."""
    hole = socket.socket()
    hole.bind(("127.0.0.1", 0))
    hole.listen(0)
    fillers = []
    for _ in range(3):
        filler = socket.socket()
        filler.setblocking(False)
        filler.connect_ex(hole.getsockname())
        fillers.append(filler)
    return hole, fillers


def one_run(seconds, lines, units):
    session = Session()
    hole, fillers = silent_address()
    try:
        broker = Broker(session, "broker")
        site_lines = []
        for line in range(lines):
            _, port = session.start_qmsim(name=f"qmsim-{line}")
            site_lines.append({"link": {"type": "tcp", "host": "127.0.0.1", "port": port, "timeout_ms": 500},
                               "interval_s": 0.2,
                               "units": [{"slave": s, "name": f"l{line}-{s}"} for s in range(1, units + 1)]})
        for n in range(SILENT_LINES):
            site_lines.append({"link": {"type": "tcp", "host": "127.0.0.1", "port": hole.getsockname()[1],
                                        "timeout_ms": 1000}, "interval_s": 0.5,
                               "units": [{"slave": n + 1, "name": f"away-{n}"}]})
        http_port = free_tcp_port()
        site = {"site": "bench", "store": {"path": "store.db"}, "lines": site_lines,
                "http": {"listen": f"127.0.0.1:{http_port}"},
                "mqtt": {"host": "127.0.0.1", "port": broker.port}}
        agent = session.start_qmhost("serve", "--site", session.write_json("site.json", site),
                                     "--driver-log", "/dev/null", name="serve")
        wait_until(lambda: "serving HTTP" in agent.stderr(), "the agent's HTTP side")
        # The lost lines are tried together every 10 s: the stop comes at a
        # random moment of that round.
        until = time.monotonic() + seconds + random.uniform(0, 10)
        counts = [0, 0]
        clients = [threading.Thread(target=busy_client, args=(http_port, until, counts)) for _ in range(2)]
        for c in clients:
            c.start()
        for c in clients:
            c.join()
        started = time.monotonic()
        agent.signal(signal.SIGTERM)
        status = agent.wait()
        took = time.monotonic() - started
        for connection in counts[2:]:
            connection.close()
        return took, status, counts[:2]
    finally:
        session.close()
        for s in [hole, *fillers]:
            s.close()


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    lines = int(sys.argv[3]) if len(sys.argv) > 3 else 4
    units = int(sys.argv[4]) if len(sys.argv) > 4 else 4
    for run in range(runs):
        took, status, counts = one_run(seconds, lines, units)
        print(f"run {run + 1}: stopped in {took:.3f} s (exit {status}) after {seconds:g} s, "
              f"{counts[0]} HTTP answers, {counts[1]} failed", flush=True)


if __name__ == "__main__":
    main()

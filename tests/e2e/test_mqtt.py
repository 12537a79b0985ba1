"""Publishing with a real broker: the agent's publisher (driven by
outbox_agent, which commits cycles to a store as the agent does) and
`qmhost ingest`, through Debian's mosquitto on loopback. The failure trials
are one table; each checks what the README promises: at least once, every
row of the agent's store kept at the centre, duplicates only within the
in-flight window per incident, always with the same store and seq."""

import json
import os
import re
import signal
import subprocess
import time

from e2e_support import QMHOST, EndToEndTest, Session, main, wait_until
from mqtt_support import Broker, make_test_pki, scalar, seqs

OUTBOX_AGENT = os.environ.get("OUTBOX_AGENT", os.path.join(os.path.dirname(QMHOST), "tests", "outbox_agent"))
INFLIGHT = 16
KEEPALIVE_S = 5
REPLAY_AFTER_S = 3
SETTLE_TIMEOUT = 40.0
KEPT = re.compile(r"kept (\d+) records and (\d+) events, (\d+) duplicates")


class Site:
    """An agent's store, its publisher's settings and the processes around them."""

    def __init__(self, test, broker, name="site-1", **mqtt):
        self.test = test
        self.session = test.session
        self.name = name
        self.store = self.session.path(name + ".db")
        settings = {"host": "127.0.0.1", "port": broker.port, "keepalive_s": KEEPALIVE_S,
                    "inflight": INFLIGHT, "replay_after_s": REPLAY_AFTER_S, "backlog_per_s": 2000}
        settings.update(mqtt)
        self.mqtt = self.session.write_json(name + "-mqtt.json", settings)
        self.agent = None
        self.runs = 0

    def start_agent(self, *options):
        self.runs += 1
        self.agent = self.session.start(f"{self.name}-agent-{self.runs}",
                                        [OUTBOX_AGENT, "--store", self.store, "--site", self.name,
                                         "--mqtt", self.mqtt, *map(str, options)])
        self.agent.wait_for_output("outbox_agent: publishing")
        if "--cycles" in options:
            cycles = options[options.index("--cycles") + 1]
            self.agent.wait_for_output(f"committed {cycles}", timeout=20)
        return self.agent

    def rows(self):
        return seqs(self.store, "record"), seqs(self.store, "event")


class MqttTrials(EndToEndTest):

    def start_ingest(self, broker, db, *options, name="ingest"):
        process = self.session.start_qmhost("ingest", "--broker", f"127.0.0.1:{broker.port}", "--db", db,
                                            "--keepalive", str(KEEPALIVE_S), *options, name=name)
        process.wait_for_output("subscribed to", stream="stderr")
        return process

    def stop_ingest(self, ingest):
        """Stops it and returns its own count: records, events, duplicates."""
        ingest.signal(signal.SIGTERM)
        ingest.wait(10)
        found = KEPT.search(ingest.stderr())
        self.assertIsNotNone(found, ingest.stderr())
        return tuple(int(n) for n in found.groups())

    def assert_all_kept(self, site, db):
        """Every record and event of the site's store reaches the ingest store and is confirmed."""
        def settled():
            records, events = site.rows()
            return (records and records <= seqs(db, "record") and events <= seqs(db, "event")
                    and scalar(site.store, "SELECT count(*) FROM record WHERE confirmed = 0") == 0)
        wait_until(settled, "every row kept at the centre and confirmed", SETTLE_TIMEOUT)
        return len(site.rows()[0]) + len(site.rows()[1])

    # ---- the trials: each returns (rows, duplicates, incidents)

    def zero_loss(self):
        broker = Broker(self.session, "broker")
        db = self.session.path("centre.db")
        ingest = self.start_ingest(broker, db)
        site = Site(self, broker)
        site.start_agent("--interval-ms", 200)
        time.sleep(1.5)
        for _ in range(3):
            broker.kill_and_restart()
            time.sleep(1.5)
        broker.freeze()
        time.sleep(2.2 * KEEPALIVE_S)  # the keepalive notices and both clients reconnect
        broker.thaw()
        time.sleep(1.5)
        site.agent.popen.send_signal(signal.SIGKILL)
        site.agent.wait()
        site.start_agent("--interval-ms", 200, "--cycles", 15)
        rows = self.assert_all_kept(site, db)
        _, _, duplicates = self.stop_ingest(ingest)
        return rows, duplicates, 5

    def acknowledged_then_lost(self):
        broker = Broker(self.session, "broker")
        db = self.session.path("centre.db")
        # A named ingest's session is kept while it is away: the broker
        # acknowledges and queues for it, then loses the queue to a SIGKILL.
        self.stop_ingest(self.start_ingest(broker, db, "--id", "centre-1"))
        site = Site(self, broker)
        site.start_agent("--interval-ms", 1, "--units", 2, "--cycles", 100)
        wait_until(lambda: scalar(site.store, "SELECT count(*) FROM record WHERE acked_ms IS NOT NULL") == 200,
                   "200 records acknowledged", 10)
        broker.kill_and_restart()
        ingest = self.start_ingest(broker, db, "--id", "centre-1")
        rows = self.assert_all_kept(site, db)
        _, _, duplicates = self.stop_ingest(ingest)
        return rows, duplicates, 1

    def bound(self):
        broker = Broker(self.session, "broker")  # and nobody who confirms
        site = Site(self, broker)
        site.start_agent("--interval-ms", 2, "--units", 8, "--max-mb", 1)
        wait_until(lambda: scalar(site.store, "SELECT count(*) FROM event WHERE kind = 'records_dropped'") >= 3,
                   "drops told as events", 20)
        site.agent.signal(signal.SIGTERM)
        site.agent.wait(10)
        pages = scalar(site.store, "PRAGMA page_count") * scalar(site.store, "PRAGMA page_size")
        self.assertLessEqual(pages, 1024 * 1024)
        dropped = int(re.search(r"dropped (\d+)", site.agent.stdout()).group(1))
        told = scalar(site.store, "SELECT sum(json_extract(detail, '$.count')) FROM event "
                                  "WHERE kind = 'records_dropped'")
        self.assertGreater(dropped, 0)
        self.assertEqual(dropped, told)
        return len(site.rows()[0]), 0, 0

    def shared_subscription(self):
        broker = Broker(self.session, "broker")
        db = self.session.path("centre.db")
        ingests = [self.start_ingest(broker, db, "--share", "centre", name=f"ingest-{i}") for i in (1, 2)]
        site = Site(self, broker)
        site.start_agent("--interval-ms", 5, "--units", 2, "--cycles", 300)
        rows = self.assert_all_kept(site, db)
        counts = [self.stop_ingest(i) for i in ingests]
        records = [c[0] for c in counts]
        self.assertTrue(all(n > 0 for n in records), counts)
        self.assertEqual(sum(records), len(site.rows()[0]), counts)
        return rows, sum(c[2] for c in counts), 0

    def bridged(self):
        centre = Broker(self.session, "centre")
        site_broker = Broker(self.session, "site-broker", extra=[
            "connection centre", f"address 127.0.0.1:{centre.port}", "cleansession false",
            "topic qm/v1/# out 1", "topic qm/v1/+/confirm in 1"])
        db = self.session.path("centre.db")
        ingest = self.start_ingest(centre, db)
        site = Site(self, site_broker)
        site.start_agent("--interval-ms", 20, "--units", 2, "--cycles", 100)
        rows = self.assert_all_kept(site, db)
        _, _, duplicates = self.stop_ingest(ingest)
        return rows, duplicates, 0

    def tls(self):
        pki = make_test_pki(self.session, "site-1", "pw-for-site-1")
        broker = Broker(self.session, "tls-broker", tls=pki)
        db = self.session.path("centre.db")
        ingest = self.start_ingest(broker, db, "--cafile", pki["ca"], "--username", "site-1",
                                   "--password-file", pki["password"])
        # The broker is reached by its certificate's name, which is checked.
        site = Site(self, broker, host="localhost", username="site-1", password_file=pki["password"],
                    tls={"ca_file": pki["ca"]})
        site.start_agent("--interval-ms", 20, "--cycles", 30)
        rows = self.assert_all_kept(site, db)
        self.stop_ingest(ingest)
        self.check_broker_names_the_fault(broker, pki)
        return rows, 0, 0

    def check_broker_names_the_fault(self, broker, pki):
        closed = broker.port + 1 if broker.port < 65535 else broker.port - 1  # nothing listens there
        good = {"host": "localhost", "port": broker.port, "username": "site-1",
                "password_file": pki["password"], "tls": {"ca_file": pki["ca"]}}
        cases = [("all well", {}, 0, "connected to localhost"),
                 ("wrong CA", {"tls": {"ca_file": pki["other_ca"]}}, 4, "certificate verify failed"),
                 ("wrong password", {"password_file": pki["wrong_password"]}, 5, "refused the connection"),
                 ("refused connection", {"port": closed}, 3, "Connection refused")]
        for name, change, status, text in cases:
            with self.subTest(check=name):
                settings = self.session.write_json("check.json", {**good, **change})
                result = subprocess.run([OUTBOX_AGENT, "--check-broker", "yes", "--site", "site-1",
                                         "--mqtt", settings], capture_output=True, text=True, timeout=20)
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                self.assertIn(text, result.stdout)

    def test_failure_trials(self):
        trials = [("zero loss: broker SIGKILL x3, SIGSTOP, agent SIGKILL", self.zero_loss),
                  ("acknowledged then lost", self.acknowledged_then_lost),
                  ("bound: never confirmed, max_mb 1", self.bound),
                  ("two ingests on one shared subscription", self.shared_subscription),
                  ("site broker bridged to a centre broker", self.bridged),
                  ("TLS with a test CA and a password", self.tls)]
        table = []
        for name, trial in trials:
            with self.subTest(trial=name):
                # Each trial has its own folder, brokers and stores.
                self.session = Session()
                self.addCleanup(self.session.close)
                started = time.monotonic()
                rows, duplicates, incidents = trial()
                table.append((name, rows, duplicates, incidents, time.monotonic() - started))
                self.assertLessEqual(duplicates, INFLIGHT * max(incidents, 1), name)
        print("\n%-56s %6s %10s %9s %7s" % ("trial", "rows", "duplicates", "incidents", "seconds"))
        for row in table:
            print("%-56s %6d %10d %9d %7.1f" % row)


if __name__ == "__main__":
    main()

"""Publishing with a real broker: `qmhost serve` polling qmsim units and
publishing from its store, and `qmhost ingest`, through Debian's mosquitto
on loopback. The failure trials are one table; each checks what the README
promises: at least once, every row of the agent's store kept at the centre,
duplicates only within the in-flight window per incident, always with the
same store and seq."""

import base64
import csv
import gc
import io
import json
import os
import re
import signal
import sqlite3
import subprocess
import time
import urllib.request

from e2e_support import QMHOST, EndToEndTest, Session, free_tcp_port, main, run_qmhost, wait_until
from mqtt_support import Broker, PostgresCentre, make_centre, make_test_pki, scalar, seqs

INFLIGHT = 16
KEEPALIVE_S = 5
REPLAY_AFTER_S = 3
SETTLE_TIMEOUT = 40.0
KEPT = re.compile(r"kept (\d+) records and (\d+) events, (\d+) duplicates")
MOSQUITTO_PUB = "/usr/bin/mosquitto_pub"
MOSQUITTO_SUB = "/usr/bin/mosquitto_sub"
# Debian's libfaketime: the wall clock moved by what a file says, the steady clock left alone.
FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"
YEAR_MS = 365 * 86400 * 1000


def publish(broker, topic, payload, retain=False):
    subprocess.run([MOSQUITTO_PUB, "-h", "127.0.0.1", "-p", str(broker.port), "-q", "1", "-t", topic, "-m", payload]
                   + (["-r"] if retain else []), check=True, capture_output=True, timeout=10)


def record_message(site, store, seq, **change):
    """A record message as an agent writes it, with members changed."""
    message = {"site": site, "store": store, "seq": seq, "time": "2026-12-08T10:00:00.000Z", "replay": False,
               "unconfirmed_from": 1, "unit": "unit-1", "slave": 1, "device_id": 1,
               "local_time": "2026-12-08 18:00:00", "clock_synced": True,
               "record": base64.b64encode(bytes(459)).decode(), "summary": {}}
    return json.dumps({**message, **change})


def metric(port, name):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=5) as answer:
        text = answer.read().decode()
    found = re.search(rf"^{re.escape(name)} (\d+)$", text, re.M)
    return int(found.group(1)) if found else None


def seqs_of_drops(store):
    """The seq ranges of each records_dropped event."""
    with sqlite3.connect(f"file:{store}?mode=ro", uri=True) as c:
        return [json.loads(d).get("ranges", []) for (d,) in
                c.execute("SELECT detail FROM event WHERE kind = 'records_dropped'")]


class Site:
    """A site file with its qmsim units (each its own TCP line, as qmsim
    serves one slave over TCP), its store and the agent's runs."""

    def __init__(self, test, broker, name="site-1", units=2, interval_s=0.2, max_mb=256, state=None, **mqtt):
        self.session = test.session
        self.name = name
        self.store = self.session.path(name + ".db")
        site_lines = []
        for unit in range(1, units + 1):
            _, port = self.session.start_qmsim(state=state, name=f"{name}-qmsim-{unit}")
            site_lines.append({"link": {"type": "tcp", "host": "127.0.0.1", "port": port, "timeout_ms": 500},
                               "interval_s": interval_s, "units": [{"slave": 1, "name": f"unit-{unit}"}]})
        self.site = {"site": name, "store": {"path": self.store, "max_mb": max_mb}, "lines": site_lines,
                     "mqtt": {"host": "127.0.0.1", "port": broker.port, "keepalive_s": KEEPALIVE_S,
                              "inflight": INFLIGHT, "replay_after_s": REPLAY_AFTER_S, "backlog_per_s": 2000,
                              **mqtt}}
        self.site_file = self.session.write_json(name + ".json", self.site)
        self.agent = None
        self.runs = 0
        self.clock_file = None  # when set: the agent's wall clock follows it (libfaketime)

    def start_agent(self):
        self.runs += 1
        argv = [QMHOST, "serve", "--site", self.site_file]
        if self.clock_file:
            # Under AddressSanitizer the preloaded clock comes before its
            # runtime, which it then must be told to accept.
            asan = os.environ.get("ASAN_OPTIONS", "")
            argv = ["env", f"LD_PRELOAD={FAKETIME_LIB}", f"FAKETIME_TIMESTAMP_FILE={self.clock_file}",
                    "FAKETIME_NO_CACHE=1", "FAKETIME_DONT_FAKE_MONOTONIC=1",
                    f"ASAN_OPTIONS={asan}{':' if asan else ''}verify_asan_link_order=0"] + argv
        self.agent = self.session.start(f"{self.name}-serve-{self.runs}", argv)
        self.agent.wait_for_output("agent_started", stream="stderr")
        return self.agent

    def stop_agent(self):
        self.agent.signal(signal.SIGTERM)
        return self.agent.wait(10)

    def wait_for(self, sql, count, what, timeout=20):
        def reached():
            self.agent.check_running()
            return os.path.exists(self.store) and scalar(self.store, sql) >= count
        wait_until(reached, what, timeout)

    def rows(self):
        return seqs(self.store, "record"), seqs(self.store, "event")

    def check_broker(self, **change):
        """qmhost serve --check-broker with the site's mqtt member changed."""
        site = dict(self.site, mqtt={**self.site["mqtt"], **change})
        path = self.session.write_json("check.json", site)
        return subprocess.run([QMHOST, "serve", "--check-broker", "--site", path], capture_output=True, text=True,
                              timeout=30)


class MqttTrials(EndToEndTest):

    def start_ingest(self, broker, centre, *options, name="ingest"):
        process = self.session.start_qmhost("ingest", "--broker", f"127.0.0.1:{broker.port}", "--db", centre.db,
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

    def assert_all_kept(self, site, centre):
        """Every record and event in the site's store now reaches the ingest
        store and is confirmed (the agent polls on meanwhile); then the agent
        stops cleanly. Returns the number of rows checked."""
        records, events = site.rows()
        self.assertTrue(records)
        last_record, last_event = max(records), max(events)

        def settled():
            site.agent.check_running()
            return (records <= centre.seqs("record") and events <= centre.seqs("event")
                    and scalar(site.store, f"SELECT count(*) FROM record WHERE confirmed = 0 AND seq <= {last_record}")
                    == 0
                    and scalar(site.store, f"SELECT count(*) FROM event WHERE confirmed = 0 AND seq <= {last_event}")
                    == 0)
        wait_until(settled, "every row kept at the centre and confirmed", SETTLE_TIMEOUT)
        self.assertEqual(site.stop_agent(), 0, site.agent.stderr())
        return len(records) + len(events)

    # ---- the trials: each returns (rows, duplicates, incidents)

    def zero_loss(self, encoding="json"):
        broker = Broker(self.session, "broker")
        centre = make_centre(self.session)
        ingest = self.start_ingest(broker, centre)
        site = Site(self, broker, encoding=encoding)
        site.start_agent()
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
        site.start_agent()
        time.sleep(1.5)
        rows = self.assert_all_kept(site, centre)
        _, _, duplicates = self.stop_ingest(ingest)
        return rows, duplicates, 5

    def acknowledged_then_lost(self):
        broker = Broker(self.session, "broker")
        centre = make_centre(self.session)
        # A named ingest's session is kept while it is away: the broker
        # acknowledges and queues for it, then loses the queue to a SIGKILL.
        self.stop_ingest(self.start_ingest(broker, centre, "--id", "centre-1"))
        site = Site(self, broker, units=8, interval_s=0.1)
        site.start_agent()
        site.wait_for("SELECT count(*) FROM record WHERE acked_ms IS NOT NULL", 100, "100 records acknowledged")
        broker.kill_and_restart()
        ingest = self.start_ingest(broker, centre, "--id", "centre-1")
        rows = self.assert_all_kept(site, centre)
        _, _, duplicates = self.stop_ingest(ingest)
        return rows, duplicates, 1

    def bound(self):
        broker = Broker(self.session, "broker")  # and nobody who confirms
        # Records are packed (a steady unit's about 130 bytes in the file): 1 MiB fills in about 35 s.
        site = Site(self, broker, units=24, interval_s=0.1, max_mb=1)
        http_port = free_tcp_port()
        site.site["http"] = {"listen": f"127.0.0.1:{http_port}"}
        site.session.write_json(site.name + ".json", site.site)
        site.start_agent()
        site.wait_for("SELECT count(*) FROM event WHERE kind = 'records_dropped'", 3, "drops told as events", 90)

        def told():
            return scalar(site.store, "SELECT coalesce(sum(json_extract(detail, '$.count')), 0) FROM event "
                                      "WHERE kind = 'records_dropped'")
        # The counter and the events are written one after the other: a scrape between two commits sees both alike.
        wait_until(lambda: metric(http_port, 'qm_agent_dropped_rows_total{site="site-1"}') == told() > 0,
                   "the dropped rows counted as told", 10)
        self.assertEqual(metric(http_port, 'qm_agent_broker_connected{site="site-1"}'), 1)
        self.assertGreater(metric(http_port, 'qm_agent_outbox_rows{site="site-1",stream="record"}'), 0)
        self.assertEqual(site.stop_agent(), 0, site.agent.stderr())
        pages = scalar(site.store, "PRAGMA page_count") * scalar(site.store, "PRAGMA page_size")
        self.assertLessEqual(pages, 1024 * 1024)
        # Every seq issued is still in the store or inside a told drop range.
        dropped = set()
        for ranges in seqs_of_drops(site.store):
            for first, last in ranges:
                dropped.update(range(first, last + 1))
        issued = scalar(site.store, "SELECT seq FROM sqlite_sequence WHERE name = 'record'")
        self.assertEqual(set(range(1, issued + 1)) - site.rows()[0] - dropped, set())
        self.assertLessEqual(scalar(site.store, "SELECT count(*) FROM event WHERE kind = 'records_dropped'"), 64)
        return len(site.rows()[0]), 0, 0

    def clock_steps(self):
        """The wall clock a year ahead, then an hour behind, while the centre
        is away: no unconfirmed row removed, each step told once with its
        size, and once the centre is back every row confirmed by the repair
        (which runs on the steady clock)."""
        if not os.path.exists(FAKETIME_LIB):
            self.skipTest("libfaketime (Debian's faketime) is not installed")
        broker = Broker(self.session, "broker")
        centre = make_centre(self.session)
        site = Site(self, broker, interval_s=0.1)
        site.site["store"]["keep_days"] = 1
        site.session.write_json(site.name + ".json", site.site)
        site.clock_file = self.session.path("clock")

        def set_clock(offset):
            with open(site.clock_file, "w", encoding="ascii") as f:
                f.write(offset + "\n")

        def unconfirmed():
            return seqs(site.store, "record", "WHERE confirmed = 0")

        set_clock("+0")
        ingest = self.start_ingest(broker, centre)
        site.start_agent()
        site.wait_for("SELECT count(*) FROM record WHERE confirmed = 1", 20, "20 records confirmed")
        self.stop_ingest(ingest)
        site.wait_for("SELECT count(*) FROM record WHERE confirmed = 0 AND acked_ms IS NOT NULL", 20,
                      "20 records acknowledged with the centre away")
        for offset, step_ms in (("+365d", YEAR_MS), ("-1h", -YEAR_MS - 3600 * 1000)):
            before = unconfirmed()
            set_clock(offset)
            site.wait_for("SELECT count(*) FROM event WHERE kind = 'clock_step' AND "
                          f"abs(json_extract(detail, '$.step_ms') - ({step_ms})) < 5000", 1, f"the {offset} step told")
            time.sleep(0.5)
            self.assertEqual(before - seqs(site.store, "record"), set(), f"unconfirmed rows removed at {offset}")
        self.assertEqual(scalar(site.store, "SELECT count(*) FROM event WHERE kind = 'clock_step'"), 2)
        ingest = self.start_ingest(broker, centre)
        rows = self.assert_all_kept(site, centre)
        _, _, duplicates = self.stop_ingest(ingest)
        return rows, duplicates, 2

    def shared_subscription(self):
        broker = Broker(self.session, "broker")
        centre = make_centre(self.session)
        ingests = [self.start_ingest(broker, centre, "--share", "centre", name=f"ingest-{i}") for i in (1, 2)]
        site = Site(self, broker, units=4, interval_s=0.1)
        site.start_agent()
        site.wait_for("SELECT count(*) FROM record", 200, "200 records")
        rows = self.assert_all_kept(site, centre)
        counts = [self.stop_ingest(i) for i in ingests]
        records = [c[0] for c in counts]
        # Each kept a part, and no row was kept by both (the second would count it a duplicate).
        self.assertTrue(all(n > 0 for n in records), counts)
        self.assertEqual(sum(records), centre.scalar("SELECT count(*) FROM {record}"), counts)
        return rows, sum(c[2] for c in counts), 0

    def bridged(self):
        centre_broker = Broker(self.session, "centre")
        site_broker = Broker(self.session, "site-broker", extra=[
            "connection centre", f"address 127.0.0.1:{centre_broker.port}", "cleansession false",
            "topic qm/v1/# out 1", "topic qm/v1/+/confirm in 1"])
        centre = make_centre(self.session)
        ingest = self.start_ingest(centre_broker, centre)
        site = Site(self, site_broker, interval_s=0.1)
        site.start_agent()
        site.wait_for("SELECT count(*) FROM record", 60, "60 records")
        rows = self.assert_all_kept(site, centre)
        _, _, duplicates = self.stop_ingest(ingest)
        return rows, duplicates, 0

    def tls(self):
        pki = make_test_pki(self.session, "site-1", "pw-for-site-1")
        broker = Broker(self.session, "tls-broker", tls=pki)
        centre = make_centre(self.session)
        ingest = self.start_ingest(broker, centre, "--cafile", pki["ca"], "--username", "site-1",
                                   "--password-file", pki["password"])
        # The broker is reached by its certificate's name, which is checked.
        site = Site(self, broker, interval_s=0.1, host="localhost", username="site-1",
                    password_file=pki["password"], tls={"ca_file": pki["ca"]})
        site.start_agent()
        site.wait_for("SELECT count(*) FROM record", 30, "30 records")
        rows = self.assert_all_kept(site, centre)
        self.stop_ingest(ingest)
        self.check_broker_names_the_fault(site, broker, pki)
        return rows, 0, 0

    def check_broker_names_the_fault(self, site, broker, pki):
        closed = free_tcp_port()  # nothing listens there
        cases = [("all well", {}, 0, "connected to localhost"),
                 ("wrong CA", {"tls": {"ca_file": pki["other_ca"]}}, 4, "certificate verify failed"),
                 ("wrong password", {"password_file": pki["wrong_password"]}, 5, "refused the connection"),
                 ("refused connection", {"port": closed}, 3, "Connection refused")]
        for name, change, status, text in cases:
            with self.subTest(check=name):
                result = site.check_broker(**change)
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                self.assertIn(text, result.stdout)

    def test_failure_trials(self):
        trials = [("zero loss: broker SIGKILL x3, SIGSTOP, agent SIGKILL", self.zero_loss),
                  ("zero loss as above, compact encoding", lambda: self.zero_loss("compact")),
                  ("acknowledged then lost", self.acknowledged_then_lost),
                  ("bound: never confirmed, max_mb 1", self.bound),
                  ("clock steps +1 year, -1 hour, centre away", self.clock_steps),
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

    def test_hostile_messages(self):
        """Retained hostile messages waiting at both starts, more while they
        run, and a site claiming another's store: each refused and counted,
        nothing of them kept or confirmed, and every real row still kept and
        confirmed."""
        broker = Broker(self.session, "broker")
        centre = make_centre(self.session)
        deep = "[" * 1001 + "]" * 1001
        publish(broker, "qm/v1/site-1/confirm", '{"store":"x","record_seq":9223372036854775808,"event_seq":0}',
                retain=True)
        publish(broker, "qm/v1/site-b/unit-1/record", record_message("site-b", "store-b", 2 ** 63), retain=True)
        site = Site(self, broker, units=1, interval_s=0.1)
        http_port = free_tcp_port()
        site.site["http"] = {"listen": f"127.0.0.1:{http_port}"}
        site.session.write_json(site.name + ".json", site.site)
        site.start_agent()
        ingest = self.start_ingest(broker, centre)
        site.wait_for("SELECT count(*) FROM record", 10, "10 records")
        store = scalar(site.store, "SELECT value FROM meta WHERE key = 'store_id'")
        # Record 1 kept before a message reuses its seq (the site commits a second's cycles at once).
        wait_until(lambda: centre.ready() and centre.scalar("SELECT count(*) FROM {mark}") == 1 and
                   centre.scalar("SELECT count(*) FROM {record} WHERE seq = 1") == 1, "site-1's store kept")

        # The agent: nesting, and a confirmation far beyond the rows it has issued, which it takes as the
        # centre holding seqs its store lost: its seqs go on past it.
        for payload in (deep, json.dumps({"store": store, "record_seq": 10 ** 6, "event_seq": 0})):
            publish(broker, "qm/v1/site-1/confirm", payload)
        # The ingest: a kept (store, seq) with another body.
        publish(broker, "qm/v1/site-1/unit-1/record", record_message("site-1", store, 1))
        # The ingest: what crashed it, then site-b claiming site-1's store.
        for payload in ("{" * 2000, record_message("site-b", "store-b", 1, device_id=2 ** 63),
                        record_message("site-b", "store-b", 5, unconfirmed_from=2 ** 63 - 1),
                        record_message("site-b", "store-b", 1, slave=2147483648),
                        record_message("site-b", "store-b", 1, record=""),
                        record_message("site-b", "store-b", 1, record=base64.b64encode(bytes(47000)).decode()),
                        record_message("site-1", store, 5000, unconfirmed_from=5000),
                        record_message("site-b", store, 5001, unconfirmed_from=5001),
                        record_message("site-b", store, 1)):
            publish(broker, "qm/v1/site-b/unit-1/record", payload)

        for reason in ("out_of_range", "too_deep"):
            name = f'qm_agent_refused_messages_total{{site="site-1",reason="{reason}"}}'
            wait_until(lambda: (metric(http_port, name) or 0) >= 1, name + " counted", 10)
        site.wait_for("SELECT count(*) FROM event WHERE kind = 'store_behind_centre'", 1, "store_behind_centre")
        self.assert_all_kept(site, centre)
        self.stop_ingest(ingest)
        self.assertEqual(centre.scalar("SELECT count(*) FROM {record} WHERE site != 'site-1' OR seq IN (5000, 5001)"), 0)
        self.assertEqual(centre.scalar("SELECT count(*) FROM {mark} WHERE site != 'site-1'"), 0)
        self.assertEqual(centre.scalar("SELECT count(*) FROM {record} WHERE seq = 1 AND body != {zero_body}"), 1)
        self.assertGreater(scalar(site.store, "SELECT max(seq) FROM record"), 10 ** 6)
        told = ingest.stderr()
        for reason in ("too_deep", "out_of_range", "bad_record", "wrong_topic", "foreign_store", "reused_seq"):
            self.assertIn(f"({reason})", told)

    def test_a_store_behind_the_centre_moves_past_it(self):
        """An agent killed and its store's WAL lost (the -wal and -shm gone):
        the centre holds seqs the store no longer knows of. The agent learns
        them from the retained confirm and moves past them: no seq goes out
        twice, and the centre's rows stay as they were."""
        broker = Broker(self.session, "broker")
        centre = make_centre(self.session)
        ingest = self.start_ingest(broker, centre)
        site = Site(self, broker, units=1, interval_s=0.1)
        site.start_agent()
        site.wait_for("SELECT count(*) FROM record WHERE confirmed = 1", 10, "10 records confirmed")
        c = sqlite3.connect(site.store, timeout=5)
        c.execute("PRAGMA wal_checkpoint(PASSIVE)")  # what the file alone will hold
        c.close()
        kept = scalar(site.store, "SELECT max(seq) FROM record")
        site.wait_for("SELECT count(*) FROM record WHERE confirmed = 1", kept + 15, "15 more confirmed")
        site.agent.popen.send_signal(signal.SIGKILL)
        site.agent.wait()
        gc.collect()  # no connection of this process may outlive the -shm it knew
        for suffix in ("-wal", "-shm"):
            os.remove(site.store + suffix)
        c = sqlite3.connect(site.store, timeout=5)  # read-write: a read-only one needs the -shm that is gone
        (issued,) = c.execute("SELECT seq FROM sqlite_sequence WHERE name = 'record'").fetchone()
        c.close()
        mark = centre.scalar("SELECT record_seq FROM {mark}")
        self.assertGreater(mark, issued)
        kept_sql = f"SELECT seq, body FROM {{record}} WHERE seq > {issued} AND seq <= {mark}"
        before = dict(centre.rows(kept_sql))

        site.start_agent()
        site.wait_for("SELECT count(*) FROM event WHERE kind = 'store_behind_centre'", 1, "store_behind_centre")
        self.assert_all_kept(site, centre)
        self.stop_ingest(ingest)
        self.assertEqual(scalar(site.store, f"SELECT count(*) FROM record WHERE seq > {issued} AND seq <= {mark}"),
                         0, "a seq the centre holds was issued again")
        after = dict(centre.rows(kept_sql))
        self.assertEqual(after, before)
        self.assertIn("(0 of them a seq reused with other content)", ingest.stderr())


def every_value_set():
    """A unit state with every register and coil the report is read from set:
    numbers spread over the register's range (tenths that a float would
    write with noise), each state at a listed value, every third alarm on."""
    legend = json.loads(run_qmhost("points", "--format", "json").stdout)
    regs, coils = {}, {}
    # States last: a register read for a state and a number (263) holds the state.
    for n, member in sorted(enumerate(legend["members"]), key=lambda m: m[1]["type"] == "string"):
        for address in member["address"].split(", "):
            kind, _, number = address.partition(" ")
            if kind == "coil":
                coils[number] = 1
            elif kind == "register":
                regs[number] = 1 if member["type"] == "string" else 3 + n * 7919 % 65000
    for alarm in legend["alarms"][::3]:
        coils[str(alarm["coil"])] = 1
    return {"regs": regs, "coils": coils}


class ValuesAgree(EndToEndTest):
    stop_ingest = MqttTrials.stop_ingest

    def test_mqtt_the_api_and_history_agree_to_the_digit_on_every_key(self):
        broker = Broker(self.session, "broker")
        centre = make_centre(self.session)
        ingest = MqttTrials.start_ingest(self, broker, centre)
        site = Site(self, broker, units=1, state=every_value_set())
        http_port = free_tcp_port()
        site.site["http"] = {"listen": f"127.0.0.1:{http_port}"}
        site.session.write_json(site.name + ".json", site.site)
        site.start_agent()

        def status():
            with urllib.request.urlopen(f"http://127.0.0.1:{http_port}/api/status", timeout=5) as answer:
                return json.loads(answer.read(), parse_float=str, parse_int=str)["units"][0]
        wait_until(lambda: status()["health"]["current"], "unit-1 current")
        # Numbers kept as the text they were written in: 31.2 and 31.199999999999999 differ.
        api = status()
        sent = subprocess.run([MOSQUITTO_SUB, "-h", "127.0.0.1", "-p", str(broker.port), "-t",
                               "qm/v1/site-1/unit-1/record", "-C", "1", "-W", "10"],
                              capture_output=True, text=True, timeout=20)
        summary = json.loads(sent.stdout, parse_float=str, parse_int=str)["summary"]
        keys = [line.split()[0] for line in run_qmhost("keys").stdout.splitlines()]
        self.assertEqual(len(keys), 136)
        self.assertEqual(sorted(api["values"]), sorted(keys))
        self.assertEqual(summary["values"], api["values"])
        self.assertEqual(summary["alarms"], [a["position"] for a in api["alarms"]])
        self.assertEqual(len(summary["alarms"]), 60)
        self.assertFalse([v for v in api["values"].values() if re.search(r"\.\d\d|invalid", v)], api["values"])

        exported = run_qmhost("history", "--db", site.store, "--unit", "unit-1", "--format", "csv", "--from", "-1h")
        row = list(csv.DictReader(io.StringIO(exported.stdout, newline="")))[-1]
        self.assertEqual({k: row[k] for k in keys}, {k: str(v) for k, v in api["values"].items()})
        self.assertEqual(exported.stderr, "")
        self.assertEqual(site.stop_agent(), 0, site.agent.stderr())

        # The export's other forms: each (arguments, exit status, what stdout or stderr holds).
        local = time.strftime("%Y-%m-%dT%H:%M", time.localtime(time.time() - 3600))
        wait_until(lambda: centre.ready() and centre.scalar("SELECT count(*) FROM {record}") > 0, "a record kept")
        cases = [(("--db", site.store, "--unit", "unit-9"), 2, 'no unit named "unit-9"; it has unit-1'),
                 (("--db", site.store, "--from", local, "--to", "now", "--format", "csv"), 0, "\n1,"),
                 (("--db", site.store, "--from", "-30m", "--keys", "unit.mode"), 0, '"values":{"unit.mode":"cooling"}'),
                 (("--db", site.store, "--from", "-1y"), 2, 'not "-1y"'),
                 (("--db", site.store, "--unit", "unit-1"), 0, '":"告警",'),  # UTF-8, not \\u escapes
                 (("--db", centre.db, "--format", "csv", "--keys", "unit.mode"), 0, "site,store,seq,time,unit,"),
                 (("--db", centre.db, "--format", "csv", "--keys", "unit.mdoe"), 2, '"unit.mdoe" is not a value key')]
        if isinstance(centre, PostgresCentre):
            cases += [(("--db", centre.db, "--site-name", "site-1", "--format", "csv", "--keys", "unit.mode"), 0,
                       "\nsite-1,"),
                      (("--db", centre.db, "--site-name", "site-9", "--unit", "unit-1"), 2, 'no unit named "unit-1"')]
        else:
            cases += [(("--db", centre.db, "--site-name", "site-1"), 2, "--site-name reads a centre's PostgreSQL")]
        for args, status, text in cases:
            with self.subTest(args=args):
                result = run_qmhost("history", *args)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(text, result.stdout if status == 0 else result.stderr)
                self.assertEqual(result.stderr if status == 0 else "", "")
        self.assertTrue(run_qmhost("events", "--db", centre.db, "--format", "csv").stdout.startswith("site,store,seq,"))
        self.stop_ingest(ingest)


if __name__ == "__main__":
    main()

"""The centre in PostgreSQL beyond what the shared MQTT trials check:
several ingest processes on one shared subscription with one killed
mid-run, the day partitions made ahead as the ingest's clock passes
midnight, and --keep-days dropping whole days."""

import json
import os
import signal
import subprocess
import time

from e2e_support import QMHOST, REPO, EndToEndTest, main, run_qmhost, wait_until
from mqtt_support import PG_BIN, Broker, PostgresCentre, scalar
import test_mqtt  # not its classes by name: the loader would run their tests here too
from test_mqtt import FAKETIME_LIB, Site, publish, record_message

# A site's outbox without units: a burst of records as fast as the broker takes them.
OUTBOX_AGENT = os.path.join(os.path.dirname(QMHOST), "tests", "outbox_agent")


class CentreTrials(EndToEndTest):
    start_ingest = test_mqtt.MqttTrials.start_ingest
    assert_all_kept = test_mqtt.MqttTrials.assert_all_kept
    stop_ingest = test_mqtt.MqttTrials.stop_ingest

    def assert_marks_right(self, centre, site):
        """Each store's mark is the end of the contiguous run of its rows, and every row is there once."""
        self.assertEqual(centre.scalar("SELECT count(*) - count(DISTINCT (store, seq)) FROM {record}"), 0)
        for store, mark, top in centre.rows("SELECT store, record_seq, record_max FROM {mark}"):
            run = centre.scalar(f"SELECT count(*) FROM {{record}} WHERE store = '{store}' AND seq <= {mark}")
            self.assertEqual(run, mark, store)
            self.assertEqual(top, centre.scalar(f"SELECT max(seq) FROM {{record}} WHERE store = '{store}'"))
        self.assertLessEqual(centre.seqs("record"), site.rows()[0])

    def test_shared_ingests_with_one_killed(self):
        for count in (2, 3):
            with self.subTest(ingests=count):
                broker = Broker(self.session, f"broker-{count}")
                centre = PostgresCentre(self.session)
                ingests = [self.start_ingest(broker, centre, "--share", "centre", name=f"ingest-{count}-{i}")
                           for i in range(count)]
                site = Site(self, broker, name=f"site-{count}", units=8, interval_s=0.1)
                site.start_agent()
                site.wait_for("SELECT count(*) FROM record", 300, "300 records")
                ingests[0].popen.send_signal(signal.SIGKILL)
                ingests[0].wait()
                site.wait_for("SELECT count(*) FROM record", 600, "300 more records")
                self.assert_all_kept(site, centre)
                for ingest in ingests[1:]:
                    ingest.signal(signal.SIGTERM)
                    self.assertEqual(ingest.wait(10), 0, ingest.stderr())
                self.assert_marks_right(centre, site)

    def test_partitions_across_midnight_and_retention(self):
        if not os.path.exists(FAKETIME_LIB):
            self.skipTest("libfaketime (Debian's faketime) is not installed")
        broker = Broker(self.session, "broker")
        centre = PostgresCentre(self.session)
        clock = self.session.path("clock")

        def ingest_at(moment, *options):
            with open(clock, "w", encoding="ascii") as f:
                f.write(f"@{moment}\n")
            faked = {"TZ": "UTC", "LD_PRELOAD": FAKETIME_LIB, "FAKETIME_TIMESTAMP_FILE": clock,
                     "FAKETIME_NO_CACHE": "1", "FAKETIME_DONT_FAKE_MONOTONIC": "1",
                     "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"}
            saved = {name: os.environ.get(name) for name in faked}
            os.environ.update(faked)  # the ingest's wall clock alone
            try:
                return self.start_ingest(broker, centre, *options, name=f"ingest-{moment[:10]}")
            finally:
                for name, value in saved.items():
                    if value is None:
                        os.environ.pop(name)
                    else:
                        os.environ[name] = value

        def days(table="qm_record"):
            return {name[-8:] for (name,) in centre.rows(
                f"SELECT c.relname::text FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid "
                f"WHERE i.inhparent = '{table}'::regclass AND c.relname ~ '_[0-9]{{{{8}}}}$'")}

        ingest = ingest_at("2026-12-08 23:59:57")
        self.assertEqual(days(), {"20261207", "20261208", "20261209"})
        stamps = ["2026-12-08T23:59:59.500Z", "2026-12-09T00:00:00.500Z", "2031-01-01T00:00:00.000Z"]
        for seq, stamp in enumerate(stamps, 1):
            publish(broker, "qm/v1/site-1/unit-1/record", record_message("site-1", "store-1", seq, time=stamp))
        wait_until(lambda: "20261210" in days() and "20261210" in days("qm_event"),
                   "the day after tomorrow made once midnight passed", 15)
        wait_until(lambda: centre.scalar("SELECT record_seq FROM {mark}") == 3, "three records kept", 10)
        self.assertEqual(centre.rows("SELECT tableoid::regclass::text, seq FROM {record} ORDER BY seq"),
                         [("qm_record_20261208", 1), ("qm_record_20261209", 2), ("qm_record_other", 3)])
        self.assertEqual(centre.scalar("""SELECT ("values"->>'air.return.temperature')::numeric FROM {record}
                                          WHERE seq = 1"""), "0.0")
        # Events: a second copy and another with the same seq, after the first is committed.
        def event(seq, detail):
            return json.dumps({"site": "site-1", "store": "store-1", "seq": seq, "time": stamps[0], "replay": False,
                               "unconfirmed_from": 1, "unit": "unit-1", "kind": "unit_lost", "detail": detail})
        for seq in (1, 2):
            publish(broker, "qm/v1/site-1/unit-1/event", event(seq, {"n": seq}))
        wait_until(lambda: centre.scalar("SELECT event_seq FROM {mark}") == 2, "two events kept", 10)
        for detail in ({"n": 1}, {"n": 9}):
            publish(broker, "qm/v1/site-1/unit-1/event", event(1, detail))
        time.sleep(1)
        self.assertEqual(self.stop_ingest(ingest), (3, 2, 1))
        self.assertIn("(1 of them a seq reused with other content)", ingest.stderr())
        self.assertEqual(centre.rows("SELECT seq, detail FROM {event} ORDER BY seq"), [(1, '{"n":1}'), (2, '{"n":2}')])

        ingest = ingest_at("2026-12-11 00:00:10", "--keep-days", "1")
        self.assertEqual(days(), {"20261210", "20261211", "20261212"})
        self.assertEqual(centre.rows("SELECT seq FROM {record}"), [(3,)])
        self.assertEqual(centre.scalar("SELECT record_seq FROM {mark}"), 3)
        ingest.signal(signal.SIGTERM)
        self.assertEqual(ingest.wait(10), 0, ingest.stderr())

    def test_the_database_gone_under_a_full_queue_ends_the_ingest(self):
        """Commits held back (qm_store locked) while 25,000 records arrive, so
        the ingest's queue fills and libmosquitto's thread waits for room;
        then the server stops: the ingest still ends, with status 1."""
        broker = Broker(self.session, "broker")
        centre = PostgresCentre(self.session)
        ingest = self.start_ingest(broker, centre)
        hold = subprocess.Popen([f"{PG_BIN}/psql", "-X", "-q", "-h", centre.folder, "-U", "qm", "qm"],
                                stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, text=True)
        hold.stdin.write("BEGIN; LOCK TABLE qm_store IN ACCESS EXCLUSIVE MODE;\n")
        hold.stdin.flush()
        wait_until(lambda: centre.scalar("SELECT count(*) FROM pg_locks WHERE mode = 'AccessExclusiveLock' "
                                         "AND relation = 'qm_store'::regclass") == 1, "qm_store locked")
        mqtt = self.session.write_json("outbox.json", {"host": "127.0.0.1", "port": broker.port, "backlog_per_s": 100000})
        store = self.session.path("outbox.db")
        self.session.start("outbox", [OUTBOX_AGENT, "--store", store, "--site", "burst", "--mqtt", mqtt,
                                      "--interval-ms", "1", "--units", "10", "--cycles", "2500"]).wait_for_output("publishing")
        wait_until(lambda: scalar(store, "SELECT count(*) FROM record WHERE acked_ms IS NOT NULL") == 25000,
                   "25,000 records at the broker", 120)
        centre.stop()
        hold.stdin.close()
        hold.wait(30)
        self.assertEqual(ingest.wait(30), 1, ingest.stderr())

    def test_schema_steps_run_once_and_a_newer_schema_is_refused(self):
        broker = Broker(self.session, "broker")
        with open(os.path.join(REPO, "agent", "centre_schema.sql"), encoding="utf-8") as f:
            first_step = f.read().split("\n-- step 2")[0]
        for version, status, told in (("1", None, None), ("99", 1, "newer than this program's")):
            with self.subTest(schema_version=version):
                centre = PostgresCentre(self.session)
                centre.rows(first_step + f"; INSERT INTO qm_meta VALUES ('schema_version', '{version}');"
                            "INSERT INTO qm_store(store, site) VALUES ('store-0', 'site-0')")
                if status is None:
                    ingest = self.start_ingest(broker, centre, name="ingest-" + version)
                    self.assertEqual(centre.scalar("SELECT value FROM qm_meta WHERE key = 'schema_version'"), 2)
                    self.assertEqual(centre.rows("SELECT site, received IS NOT NULL FROM {mark}"), [("site-0", "t")])
                    self.stop_ingest(ingest)
                    continue
                result = run_qmhost("ingest", "--broker", f"127.0.0.1:{broker.port}", "--db", centre.db)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(told, result.stderr)


if __name__ == "__main__":
    main()

"""A site store that another agent holds, or that was emptied, garbled or
is no store at all: qmhost serve refuses it without touching it, store
check names the fault and store recover keeps what can be read, with seqs
that go on after the highest the damaged store issued. A unit's health
outlives a restart."""

import json
import os
import signal
import sqlite3
import subprocess
import urllib.request

from e2e_support import EndToEndTest, free_tcp_port, main, run_qmhost, wait_until
from mqtt_support import Broker

def scalar(path, sql):
    """The first column of the first row; 0 before the store is set up."""
    try:
        db = sqlite3.connect(f"file:{path}?mode=ro", uri=True, timeout=5)
    except sqlite3.OperationalError:
        return 0
    try:
        return db.execute(sql).fetchone()[0]
    except sqlite3.DatabaseError:
        return 0
    finally:
        db.close()


def middle_record_page(path):
    """A leaf page of the record table, from SQLite's own page list."""
    db = sqlite3.connect(path)
    try:
        pages = [p for (p,) in db.execute(
            "SELECT pageno FROM dbstat WHERE name = 'record' AND pagetype = 'leaf' ORDER BY pageno")]
    finally:
        db.close()
    return pages[len(pages) // 2]


class StoreFaults(EndToEndTest):
    def setUp(self):
        super().setUp()
        self.qmsim, port = self.session.start_qmsim()
        self.unit_port = port
        self.site = {"site": "room-1", "store": {"path": "store.db"},
                     "lines": [{"link": {"type": "tcp", "host": "127.0.0.1", "port": port, "timeout_ms": 200},
                                "interval_s": 0.1, "units": [{"slave": 1, "name": "crac-1"}]}]}
        self.site_file = self.session.write_json("site.json", self.site)
        self.store = self.session.path("store.db")
        self.runs = 0

    def serve(self):
        self.runs += 1
        return self.session.start_qmhost("serve", "--site", self.site_file, name=f"serve-{self.runs}")

    def fill(self, records):
        agent = self.serve()
        wait_until(lambda: agent.check_running() or scalar(self.store, "SELECT count(*) FROM record") >= records,
                   f"{records} records", timeout=30)
        return agent

    def stop(self, agent):
        agent.signal(signal.SIGTERM)
        self.assertEqual(agent.wait(), 0, agent.stderr())

    def refused(self, status, text):
        result = run_qmhost("serve", "--site", self.site_file)
        self.assertEqual(result.returncode, status, result.stderr)
        self.assertIn(text, result.stderr)

    def test_a_second_agent_on_the_store_is_refused(self):
        first = self.fill(5)
        self.refused(2, f"store {self.store} is in use by another agent (process {first.popen.pid})")
        self.stop(first)
        self.assertEqual(scalar(self.store, "SELECT count(*) FROM event WHERE kind = 'agent_started'"), 1)

    def test_a_damaged_store_is_refused_checked_and_recovered(self):
        def truncated():
            os.truncate(self.store, 0)
            return "an empty file, not a store"

        def garbled():
            page = scalar(self.store, "PRAGMA page_size")  # a new store's pages are 1 KiB
            with open(self.store, "r+b") as f:
                f.seek((middle_record_page(self.store) - 1) * page)
                f.write(bytes([0xA5]) * page)
            return "is damaged"

        def no_store():
            with open(self.store, "w", encoding="ascii") as f:
                f.write("not a database, but long enough to be read as one " * 200)
            return "file is not a database"

        for name, damage, id_kept in (("truncated to 0", truncated, False), ("garbled page", garbled, True),
                                      ("not a store", no_store, False)):
            with self.subTest(damage=name):
                for suffix in ("", "-wal", "-shm"):
                    if os.path.exists(self.store + suffix):
                        os.remove(self.store + suffix)
                self.stop(self.fill(60))
                highest = scalar(self.store, "SELECT max(seq) FROM record")
                text = damage()
                size = os.path.getsize(self.store)
                self.refused(1, text)
                self.assertEqual(os.path.getsize(self.store), size, "the refused store was changed")
                self.assertEqual(run_qmhost("store", "check", "--site", self.site_file).returncode, 1)

                result = run_qmhost("store", "recover", "--site", self.site_file)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(run_qmhost("store", "check", "--db", self.store).stdout, "ok\n")
                detail = scalar(self.store, "SELECT detail FROM event WHERE kind = 'store_recovered'")
                self.assertIn(f'"store_id_kept":{"true" if id_kept else "false"}', detail)
                agent = self.fill(scalar(self.store, "SELECT count(*) FROM record") + 3)
                self.stop(agent)
                if id_kept:
                    self.assertIn('"records_lost":[[', detail)
                    self.assertGreater(scalar(self.store, "SELECT max(seq) FROM record"), highest)
                self.assertEqual(run_qmhost("history", "--site", self.site_file, "--format", "csv").returncode, 0)

    def test_a_unit_lost_before_a_restart_is_back_after_it(self):
        http_port = free_tcp_port()
        broker = Broker(self.session, "broker")
        self.site["http"] = {"listen": f"127.0.0.1:{http_port}"}
        self.site["mqtt"] = {"host": "127.0.0.1", "port": broker.port}
        self.session.write_json("site.json", self.site)

        def health():
            with urllib.request.urlopen(f"http://127.0.0.1:{http_port}/api/status", timeout=5) as answer:
                return json.load(answer)["units"][0]["health"]

        def retained_health():
            """The health in the unit's retained status."""
            got = subprocess.run(["/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", str(broker.port), "-C", "1",
                                  "-W", "5", "-t", "qm/v1/room-1/crac-1/status"],
                                 capture_output=True, text=True, timeout=10)
            return json.loads(got.stdout)["health"] if got.stdout else None

        def events(kind):
            return scalar(self.store, f"SELECT count(*) FROM event WHERE kind = '{kind}'")

        agent = self.fill(3)
        self.qmsim.stop()
        wait_until(lambda: events("unit_lost") == 1, "unit_lost", timeout=15)
        wait_until(lambda: retained_health() == "lost", "the retained status saying lost", timeout=10)
        self.stop(agent)
        agent = self.serve()
        agent.wait_for_output("serving HTTP", stream="stderr")
        self.assertTrue(health()["lost"], "a unit lost at the stop is lost at the start")
        self.qmsim, _ = self.session.start_qmsim(port=self.unit_port, name="qmsim-again")
        wait_until(lambda: agent.check_running() or events("unit_back") == 1, "unit_back after the restart",
                   timeout=30)
        wait_until(lambda: health()["answering"], "the unit answering in /api/status", timeout=10)
        wait_until(lambda: retained_health() == "answering", "the retained status saying answering", timeout=10)
        self.stop(agent)
        self.assertEqual(events("unit_lost"), 1)

    def test_the_ingest_refuses_a_damaged_database(self):
        closed = f"127.0.0.1:{free_tcp_port()}"  # refused before any broker is tried
        for name, content, text in (("truncated to 0", b"", "is an empty file, not a store"),
                                    ("not a database", b"garbage " * 512, "is damaged")):
            with self.subTest(damage=name):
                db = self.session.path(name.replace(" ", "-") + ".db")
                with open(db, "wb") as f:
                    f.write(content)
                result = run_qmhost("ingest", "--broker", closed, "--db", db)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn(text, result.stderr)
                self.assertEqual(os.path.getsize(db), len(content))


if __name__ == "__main__":
    main()

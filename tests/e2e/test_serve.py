"""qmhost serve playing a site: two RTU lines on pseudo-terminal pairs, each
with qmsim serving two units (one of them with an alarm active), and one
TCP unit; the agent's store read with Python's own sqlite3 while it runs
and after it was killed."""

import json
import os
import random
import signal
import sqlite3
import subprocess
import time

from e2e_support import (RECORD_SIZE, RETURN_AIR_HIGH, STORE_RECORDS_SQL, EndToEndTest, main, record_device_id,
                         run_qmhost, store_body,
                         wait_until)

INTERVAL_S = 0.2
LINK = {"baud": 9600, "parity": "N", "data_bits": 8, "stop_bits": 1, "timeout_ms": 200}
ALARM_UNIT = "a-1"
KILL_TRIALS = 20


def read_store(path):
    """The integrity check's answer, records as (seq, unit, device_id, body)
    and events as (seq, unit, kind, detail) in seq order, through a
    read-only connection. A store killed before it was set up has none, and
    an agent killed before it opened the store leaves no file."""
    if not os.path.exists(path):
        return "ok", [], []
    db = sqlite3.connect(f"file:{path}?mode=ro", uri=True, timeout=5)
    try:
        check = db.execute("PRAGMA integrity_check").fetchone()[0]
        if not db.execute("SELECT count(*) FROM sqlite_schema WHERE name IN ('record', 'event')").fetchone()[0]:
            return check, [], []
        records = [(seq, unit, device_id, store_body(body, keyframe)) for seq, unit, device_id, body, keyframe in
                   db.execute(STORE_RECORDS_SQL % "seq, unit, device_id" + " ORDER BY seq")]
        events = [(seq, unit, kind, json.loads(detail)) for seq, unit, kind, detail in
                  db.execute("SELECT seq, unit, kind, detail FROM event ORDER BY seq")]
        return check, records, events
    finally:
        db.close()


def record_count(path):
    if not os.path.exists(path):
        return 0
    db = sqlite3.connect(f"file:{path}?mode=ro", uri=True, timeout=5)
    try:
        return db.execute("SELECT count(*) FROM record").fetchone()[0]
    except sqlite3.OperationalError:  # not set up yet
        return 0
    finally:
        db.close()


class ServeSite(EndToEndTest):
    def setUp(self):
        super().setUp()
        lines = []
        alarm_state = self.session.write_json("alarm.json", {"coils": {str(RETURN_AIR_HIGH[0]): 1}})
        for line in ("a", "b"):
            unit_side, host_side = self.session.start_pty_pair(name=f"socat-{line}")
            states = ["--slave-state", f"1={alarm_state}"] if line == "a" else []
            self.session.start_qmsim_rtu(unit_side, "--slave", "1,2", *states, name=f"qmsim-{line}")
            lines.append({"link": {"type": "rtu", "device": host_side, **LINK}, "interval_s": INTERVAL_S,
                          "units": [{"slave": s, "name": f"{line}-{s}"} for s in (1, 2)]})
        _, port = self.session.start_qmsim(name="qmsim-tcp")
        lines.append({"link": {"type": "tcp", "host": "127.0.0.1", "port": port, "timeout_ms": 200},
                      "interval_s": INTERVAL_S, "units": [{"slave": 1, "name": "tcp-1", "device_id": 90}]})
        self.units = {"a-1": 1, "a-2": 2, "b-1": 3, "b-2": 4, "tcp-1": 90}  # name: device id
        self.site = {"site": "room-1", "store": {"path": "store.db"}, "lines": lines}
        self.site_file = self.session.write_json("site.json", self.site)
        self.store = self.session.path("store.db")
        self.runs = 0

    def start_agent(self):
        self.runs += 1
        return self.session.start_qmhost("serve", "--site", self.site_file, name=f"serve-{self.runs}")

    def stop_agent(self, agent):
        started = time.monotonic()
        agent.signal(signal.SIGTERM)
        self.assertEqual(agent.wait(), 0, agent.stderr())
        self.assertLess(time.monotonic() - started, 1.0, "the agent took a second or more to stop")

    def wait_for_records(self, agent, count):
        def stored():
            agent.check_running()
            return record_count(self.store) >= count
        wait_until(stored, f"{count} records in the store", timeout=15)

    def assertWholeRecords(self, records):
        self.assertEqual([seq for seq, *_ in records], sorted({seq for seq, *_ in records}))
        for seq, unit, device_id, body in records:
            self.assertEqual(len(body), RECORD_SIZE, f"record {seq}")
            self.assertEqual(record_device_id(body), self.units[unit], f"record {seq}")

    def alarms_raised(self, events):
        return [unit for _, unit, kind, detail in events if kind == "alarm_raised"]

    def test_every_line_polled_into_the_store_and_a_restart_goes_on_from_it(self):
        agent = self.start_agent()
        self.wait_for_records(agent, 5 * 3)
        self.stop_agent(agent)
        check, first, events = read_store(self.store)
        self.assertEqual(check, "ok")
        self.assertWholeRecords(first)
        self.assertEqual({unit for _, unit, *_ in first}, set(self.units))
        self.assertEqual(self.alarms_raised(events), [ALARM_UNIT])
        (raised,) = [detail for *_, kind, detail in events if kind == "alarm_raised"]
        self.assertEqual((raised["position"], raised["codes"], raised["name"]),
                         (RETURN_AIR_HIGH[0], [RETURN_AIR_HIGH[2], RETURN_AIR_HIGH[3]], RETURN_AIR_HIGH[1]))
        self.assertEqual([kind for *_, kind, _ in events if kind.startswith("agent")], ["agent_started", "agent_stopped"])
        # One line per event on standard error, with its time.
        told = [line for line in agent.stderr_lines() if "alarm_raised" in line]
        self.assertEqual(len(told), 1, agent.stderr())
        self.assertRegex(told[0], r"^qmhost: \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z a-1 alarm_raised ")
        # The store named by the site file, read back through it.
        history = run_qmhost("history", "--site", self.site_file, "--unit", "tcp-1", "--format", "csv")
        self.assertSucceeded(history)
        self.assertEqual([int(line.split(",")[0]) for line in history.stdout.splitlines()[1:]],
                         [seq for seq, unit, *_ in first if unit == "tcp-1"])

        again = self.start_agent()
        self.wait_for_records(again, len(first) + 5)
        self.stop_agent(again)
        check, records, events = read_store(self.store)
        self.assertEqual(check, "ok")
        self.assertGreater(records[len(first)][0], first[-1][0])
        self.assertEqual(self.alarms_raised(events), [ALARM_UNIT], "an alarm active before the restart was raised again")

    def test_kill_at_random_moments_leaves_every_committed_cycle_whole(self):
        """Each trial runs the agent on the same store and kills it (SIGKILL)
        after a random time: the store stays sound, keeps all it had committed
        before the kill, gains at most the cycle in flight (one record per
        unit), and the alarm is raised once over all the runs."""
        seed = int(os.environ.get("QM_TRIAL_SEED", time.time()))
        trials = random.Random(seed)
        for trial in range(KILL_TRIALS):
            with self.subTest(trial=trial, seed=seed):
                agent = self.start_agent()
                time.sleep(trials.uniform(0.0, 0.8))
                before = record_count(self.store)
                agent.signal(signal.SIGKILL)
                agent.wait()
                check, records, events = read_store(self.store)
                self.assertEqual(check, "ok")
                self.assertWholeRecords(records)
                self.assertGreaterEqual(len(records), before)
                self.assertLessEqual(len(records), before + len(self.units))
                self.assertLessEqual(len(self.alarms_raised(events)), 1)
        # A cycle of the alarm's unit takes over a second at 9600 baud: the
        # kills may all come before one; a last run lasts until it is raised.
        if not self.alarms_raised(read_store(self.store)[2]):
            agent = self.start_agent()
            wait_until(lambda: agent.check_running() or self.alarms_raised(read_store(self.store)[2]),
                       "the alarm raised", timeout=15)
            self.stop_agent(agent)
        self.assertEqual(self.alarms_raised(read_store(self.store)[2]), [ALARM_UNIT])

    def test_a_full_disk_is_told_once_and_polling_goes_on(self):
        folder = self.session.path("small")
        os.mkdir(folder)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512k", "tmpfs", folder], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", folder], check=False)
        # A bound of 1 MB keeps the WAL to a few pages between checkpoints.
        self.site["store"] = {"path": os.path.join(folder, "store.db"), "max_mb": 1}
        self.site_file = self.session.write_json("site.json", self.site)
        self.store = self.site["store"]["path"]
        agent = self.start_agent()
        self.wait_for_records(agent, 5)
        filler = os.path.join(folder, "filler")
        try:
            with open(filler, "wb") as f:
                for _ in range(1024):  # far more than the filesystem holds
                    f.write(b"\0" * 4096)
                    f.flush()
        except OSError:
            pass
        agent.wait_for_output("polling goes on", timeout=10, stream="stderr")
        time.sleep(10 * INTERVAL_S)
        agent.check_running()
        self.assertEqual(agent.stderr().count("polling goes on"), 1, agent.stderr())
        os.remove(filler)
        agent.wait_for_output("writing again", timeout=10, stream="stderr")
        self.stop_agent(agent)
        check, records, events = read_store(self.store)
        self.assertEqual(check, "ok")
        self.assertWholeRecords(records)
        self.assertIn("store_error", [kind for *_, kind, _ in events])


class SiteFileMistakes(EndToEndTest):
    """A site file the agent cannot run is refused before anything starts,
    with the member's path, and exit status 2."""
    GOOD = {"site": "room-1", "store": {"path": "store.db"},
            "lines": [{"link": {"type": "tcp", "port": 1502}, "units": [{"slave": 1, "name": "crac-1"}]}]}

    def refusal(self, change):
        site = json.loads(json.dumps(self.GOOD))
        change(site)
        result = run_qmhost("serve", "--site", self.session.write_json("site.json", site))
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertFalse(os.path.exists(self.session.path("store.db")), "a store was made for a refused site file")
        return result.stderr

    def test_each_mistake_named_by_its_member(self):
        unit = lambda site: site["lines"][0]["units"][0]
        cases = [
            (lambda s: unit(s).update(slave=248), "lines[0].units[0].slave: 248 is not a slave id (1 to 247)"),
            (lambda s: s.update(mqtt_broker={}), "mqtt_broker: unknown member"),
            (lambda s: s.update(mqtt={"host": "127.0.0.1", "keepalive_s": 0}), "mqtt.keepalive_s: 0 is not"),
            (lambda s: unit(s).update(name="crac 1"), 'lines[0].units[0].name: "crac 1" is not a unit name'),
            (lambda s: unit(s).update(name="."), 'lines[0].units[0].name: "." is not a unit name'),
            (lambda s: unit(s).update(name=".."), 'lines[0].units[0].name: ".." is not a unit name'),
            (lambda s: unit(s).update(name="agent"), 'lines[0].units[0].name: "agent" is not a unit name'),
            (lambda s: s["lines"][0]["units"].append({"slave": 2, "name": "crac-1"}),
             'lines[0].units[1].name: "crac-1" is already lines[0].units[0]\'s'),
            (lambda s: s["lines"][0].update(interval_s=0.05), "lines[0].interval_s: 0.05 is not a number of seconds"),
            (lambda s: s["lines"][0]["link"].update(port=0), "lines[0].link.port: must be 1 to 65535, not 0"),
            (lambda s: s["store"].pop("path"), "store.path: missing"),
            (lambda s: s["store"].update(keep_days="30"), 'store.keep_days: "30" is not a number of days'),
        ]
        for change, expected in cases:
            with self.subTest(expected=expected):
                self.assertIn(expected, self.refusal(change))


if __name__ == "__main__":
    main()

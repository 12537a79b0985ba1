"""qmhost serve --check, the start refusals with their fixes, and SIGHUP's
reload: a good site file's plan, each check's failure with its status, a
port in use and a missing store folder refused with exit status 2, and a
reload that restarts only the changed line and leaves a refused file
without effect."""

import fcntl
import grp
import json
import os
import shutil
import signal
import socket
import sqlite3
import subprocess

from e2e_support import QMHOST, RUN_TIMEOUT, EndToEndTest, main, run_qmhost, wait_until

INTERVAL_S = 0.2


def events(store, kind):
    if not os.path.exists(store):
        return []
    db = sqlite3.connect(f"file:{store}?mode=ro", uri=True, timeout=5)
    try:
        return [json.loads(d) for (d,) in db.execute("SELECT detail FROM event WHERE kind = ? ORDER BY seq", (kind,))]
    except sqlite3.OperationalError:
        return []
    finally:
        db.close()


def unit_records(store, unit):
    if not os.path.exists(store):
        return []
    db = sqlite3.connect(f"file:{store}?mode=ro", uri=True, timeout=5)
    try:
        return [ms for (ms,) in db.execute("SELECT ts_ms FROM record WHERE unit = ? ORDER BY seq", (unit,))]
    except sqlite3.OperationalError:
        return []
    finally:
        db.close()


class ServeCheck(EndToEndTest):
    def setUp(self):
        super().setUp()
        _, self.port = self.session.start_qmsim(name="qmsim-0")
        _, self.port2 = self.session.start_qmsim(name="qmsim-1")
        with socket.socket() as s:  # a loopback port nobody listens on
            s.bind(("127.0.0.1", 0))
            self.closed_port = s.getsockname()[1]
        self.site = {"site": "room-1", "store": {"path": "store.db"},
                     "lines": [self.tcp_line(self.port, "t-1"), self.tcp_line(self.port2, "t-2")]}

    def tcp_line(self, port, name):
        return {"link": {"type": "tcp", "host": "127.0.0.1", "port": port, "timeout_ms": 200},
                "interval_s": INTERVAL_S, "units": [{"slave": 1, "name": name}]}

    def write_site(self, site):
        return self.session.write_json("site.json", site)

    def test_a_good_file_prints_its_plan_and_exits_0(self):
        result = run_qmhost("serve", "--check", "--site", self.write_site(self.site))
        self.assertSucceeded(result)
        out = result.stdout
        self.assertIn("site room-1\n", out)
        self.assertIn(f"line 1: tcp 127.0.0.1:{self.port2}, every 0.2 s\n  unit t-2: slave 1, device id 2", out)
        self.assertIn("ok: the store's folder is writable and its lock is free", out)
        self.assertFalse(os.path.exists(self.session.path("store.db")), "a check made a store")

    def test_each_failure_with_its_status_and_fix(self):
        listening = socket.socket()
        listening.bind(("127.0.0.1", 0))
        listening.listen()
        self.addCleanup(listening.close)
        busy = listening.getsockname()[1]
        lock_path = self.session.path("held.db.lock")
        held = open(lock_path, "w")
        self.addCleanup(held.close)
        fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)

        def store(path):
            return lambda s: s["store"].update(path=path)
        cases = [
            (store("no-such-folder/store.db"), 2, "no-such-folder cannot be used (No such file or directory): "
                                                  "it must exist and be writable by the agent's user"),
            (store("held.db"), 2, "is in use by another agent"),
            (lambda s: s["lines"][1]["link"].update(port=self.closed_port), 1,
             f"line 1: cannot reach 127.0.0.1:{self.closed_port}: Connection refused"),
            (lambda s: s["lines"][0].update(link={"type": "rtu", "device": self.session.path("ttyNONE")}), 1,
             "line 0: cannot open"),
            (lambda s: s.update(http={"listen": f"127.0.0.1:{busy}"}), 2,
             f"cannot serve HTTP on 127.0.0.1:{busy}: the address is in use"),
            (lambda s: s["lines"][0]["units"][0].update(settings={"appSetting": {"b_mode": 7}}), 2,
             "lines[0].units[0].settings.appSetting.b_mode: 7 is not an alarm code mode (1 to 3)"),
            (lambda s: s.update(notify={"command": ["/nonexistent/qm-notify"], "events": ["unit_lost"]}), 1,
             "notify: /nonexistent/qm-notify cannot be run: No such file or directory"),
            (lambda s: s.update(notify={"command": ["curl"], "events": ["unit_lost"]}), 2,
             "notify.command[0]: \"curl\" is not an absolute path"),
        ]
        for change, status, told in cases:
            with self.subTest(told=told):
                site = json.loads(json.dumps(self.site))
                change(site)
                result = run_qmhost("serve", "--check", "--site", self.write_site(site))
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(told, result.stderr)

    def test_a_device_the_user_may_not_open_names_its_group(self):
        """As a user outside the device's group (nobody, when the test runs
        as root, which opens any device): refused at once, before a store
        is made, by --check and by serve alike."""
        other = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if os.geteuid() == 0 else []
        if other and not shutil.which("setpriv"):
            self.skipTest("no setpriv (package util-linux) to run as another user")
        os.chmod(self.session.path(""), 0o755)
        folder = self.session.path("shared")
        os.mkdir(folder)
        os.chmod(folder, 0o777)
        device = os.path.join(folder, "ttyLOCKED")
        open(device, "w").close()
        os.chmod(device, 0o660 if other else 0)
        site = json.loads(json.dumps(self.site))
        site["store"]["path"] = os.path.join(folder, "store.db")
        site["lines"][0]["link"] = {"type": "rtu", "device": device}
        site_file = self.write_site(site)
        os.chmod(site_file, 0o644)
        group = grp.getgrgid(os.stat(device).st_gid).gr_name
        for command in (["serve", "--check"], ["serve"]):
            with self.subTest(command=command):
                result = subprocess.run([*other, QMHOST, *command, "--site", site_file], capture_output=True,
                                        text=True, timeout=RUN_TIMEOUT, stdin=subprocess.DEVNULL)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(f"cannot open {device}: Permission denied: the agent's user", result.stderr)
                self.assertIn(f"must be in the device's group ({group})", result.stderr)
                self.assertFalse(os.path.exists(site["store"]["path"]), "a store was made")

    def test_serve_refuses_a_port_in_use_and_a_missing_store_folder_with_2(self):
        listening = socket.socket()
        listening.bind(("127.0.0.1", 0))
        listening.listen()
        self.addCleanup(listening.close)
        busy = listening.getsockname()[1]
        for change, told in [
            (lambda s: s.update(http={"listen": f"127.0.0.1:{busy}"}),
             f"cannot serve HTTP on 127.0.0.1:{busy}: the address is in use"),
            (lambda s: s["store"].update(path="gone/store.db"), "gone cannot be used"),
        ]:
            with self.subTest(told=told):
                site = json.loads(json.dumps(self.site))
                change(site)
                result = run_qmhost("serve", "--site", self.write_site(site))
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(told, result.stderr)

    def test_reload_restarts_the_changed_line_and_refuses_a_bad_file(self):
        site_file = self.write_site(self.site)
        store = self.session.path("store.db")
        agent = self.session.start_qmhost("serve", "--site", site_file, name="serve")

        def records_of(unit, count):
            agent.check_running()
            return len(unit_records(store, unit)) >= count
        wait_until(lambda: records_of("t-1", 3) and records_of("t-2", 3), "records of both lines")

        # Line 1's unit renamed: that line restarts, line 0 polls on.
        changed = json.loads(json.dumps(self.site))
        changed["lines"][1]["units"][0]["name"] = "t-2b"
        self.write_site(changed)
        agent.signal(signal.SIGHUP)
        wait_until(lambda: events(store, "site_reloaded"), "the site_reloaded event")
        self.assertEqual(events(store, "site_reloaded")[0]["restarted"], [1])
        wait_until(lambda: records_of("t-2b", 2), "records of the renamed unit")
        times = unit_records(store, "t-1")
        self.assertLess(max(b - a for a, b in zip(times, times[1:])), 1000, "line 0 stopped polling in the reload")

        # Refused files: the agent goes on with what it had.
        refusals = [
            (lambda s: s["lines"][0]["units"][0].update(settings={"appSeting": {}}), "appSeting: unknown member"),
            (lambda s: s["store"].update(keep_days=3), '"store" changed: the agent must be restarted'),
        ]
        for n, (change, told) in enumerate(refusals, start=1):
            bad = json.loads(json.dumps(changed))
            change(bad)
            self.write_site(bad)
            agent.signal(signal.SIGHUP)
            wait_until(lambda: len(events(store, "reload_refused")) >= n, "the reload_refused event")
            self.assertIn(told, events(store, "reload_refused")[-1]["reason"])
        before = len(unit_records(store, "t-2b"))
        wait_until(lambda: records_of("t-2b", before + 2), "records after the refusals")
        self.assertIn("site file not reloaded, the agent goes on as it was", agent.stderr())
        agent.signal(signal.SIGTERM)
        self.assertEqual(agent.wait(), 0, agent.stderr())


if __name__ == "__main__":
    main()
